// The quality picture: a caption band with the file's name and verdict, then the first 32 KiB as a
// 512 x 512 bitmap (one bit per pixel, most significant bit first, row by row; 1 dark, 0 light, no
// data grey), then a histogram of the 256 byte values (two columns each) with the expected count
// and its +-3 sigma band, its count scale on the left and its byte values below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quality/checker.h"

namespace quality {

inline constexpr int kBitmapWidth = 512;
inline constexpr int kBitmapRows = 512;
inline constexpr std::size_t kPictureBytes = kBitmapWidth * kBitmapRows / 8;  // bytes shown
// Room on the left for the count scale, above for the caption.
inline constexpr int kBitmapLeft = 56;
inline constexpr int kCaptionRows = 30;
inline constexpr int kBitmapTop = kCaptionRows;
inline constexpr int kPictureWidth = kBitmapLeft + kBitmapWidth + 8;
inline constexpr int kHistogramTop = kBitmapTop + kBitmapRows + 8;  // first histogram row
inline constexpr int kHistogramRows = 160;
inline constexpr int kHistogramBottom = kHistogramTop + kHistogramRows - 1;  // its count 0
inline constexpr int kAxisRows = 28;  // the byte values below the histogram
inline constexpr int kPictureHeight = kHistogramTop + kHistogramRows + kAxisRows;

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
inline constexpr Rgb kOne{0, 0, 0}, kZero{255, 255, 255}, kNoData{160, 160, 160};
inline constexpr Rgb kBar{40, 40, 150}, kExpected{210, 0, 0}, kBand{200, 235, 200};
inline constexpr Rgb kInk{60, 60, 60}, kFrame{190, 190, 190};
inline constexpr Rgb kPassInk{0, 120, 0}, kWarningInk{190, 110, 0}, kFailInk{200, 0, 0};

// What the caption says. The font is ASCII only: other characters are drawn as '?'.
struct PictureCaption {
  std::string name;
  std::string verdict;  // in words
  Verdict level = Verdict::Pass;
};
// The caption of a file's results: its name and its verdict line.
PictureCaption CaptionOf(std::string_view name, const Results& results);

// The picture as RGB pixels, row by row. `prefix` holds the file's first bytes (only the first
// kPictureBytes are shown); `histogram` counts every byte of the file.
std::vector<Rgb> PicturePixels(const std::uint8_t* prefix, std::size_t size,
                               const std::array<std::uint64_t, 256>& histogram,
                               const PictureCaption& caption);
// The same picture encoded as PNG; empty if encoding failed.
std::vector<std::uint8_t> PicturePng(const std::uint8_t* prefix, std::size_t size,
                                     const std::array<std::uint64_t, 256>& histogram,
                                     const PictureCaption& caption);
// The bitmap alone (kBitmapWidth x kBitmapRows) as PNG; empty if encoding failed.
std::vector<std::uint8_t> BitmapPng(const std::uint8_t* prefix, std::size_t size);

}  // namespace quality
