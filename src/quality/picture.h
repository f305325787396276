// The quality picture: the first 32 KiB as a 512 x 512 bitmap (one bit per pixel, most
// significant bit first, row by row; 1 dark, 0 light, no data grey) above a histogram of the 256
// byte values with the expected count and its +-3 sigma band.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quality {

inline constexpr int kPictureWidth = 512;
inline constexpr int kBitmapRows = 512;
inline constexpr std::size_t kPictureBytes = kPictureWidth * kBitmapRows / 8;  // bytes shown
inline constexpr int kHistogramTop = kBitmapRows + 8;                          // first histogram row
inline constexpr int kHistogramRows = 160;
inline constexpr int kPictureHeight = kHistogramTop + kHistogramRows;

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
inline constexpr Rgb kOne{0, 0, 0}, kZero{255, 255, 255}, kNoData{160, 160, 160};
inline constexpr Rgb kBar{40, 40, 150}, kExpected{210, 0, 0}, kBand{200, 235, 200};

// The picture as RGB pixels, row by row. `prefix` holds the file's first bytes (only the first
// kPictureBytes are shown); `histogram` counts every byte of the file.
std::vector<Rgb> PicturePixels(const std::uint8_t* prefix, std::size_t size,
                               const std::array<std::uint64_t, 256>& histogram);
// The same picture encoded as PNG; empty if encoding failed.
std::vector<std::uint8_t> PicturePng(const std::uint8_t* prefix, std::size_t size,
                                     const std::array<std::uint64_t, 256>& histogram);

}  // namespace quality
