#include "quality/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "quality/axis.h"
#include "quality/report.h"

// The one translation unit with the PNG writer's implementation; it writes to memory only.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb_easy_font.h>
#include <stb_image_write.h>

namespace quality {
namespace {

struct Box {
  int left, top, right, bottom;  // right and bottom exclusive
};

class Canvas {
 public:
  Canvas(int width, int height) : width_(width), height_(height), pixels_(Size(width, height), kZero) {}

  Rgb& At(int x, int y) { return pixels_[Index(x, y)]; }
  void Fill(Box box, Rgb colour) {
    for (int y = std::max(box.top, 0); y < std::min(box.bottom, height_); ++y)
      for (int x = std::max(box.left, 0); x < std::min(box.right, width_); ++x) pixels_[Index(x, y)] = colour;
  }
  // `text` with its top left corner at (x, y), cut off outside `clip`.
  void Text(int x, int y, std::string_view text, Rgb ink, Box clip) {
    std::string ascii = Ascii(text);
    // The font makes four vertices of 16 bytes (x, y, z, colour) a quad, under 300 bytes a character.
    std::vector<char> quads(ascii.size() * 400 + 64);
    const int count = stb_easy_font_print(static_cast<float>(x), static_cast<float>(y), ascii.data(), nullptr,
                                          quads.data(), static_cast<int>(quads.size()));
    for (int q = 0; q < count; ++q) {
      float first[2], third[2];  // opposite corners
      std::memcpy(first, quads.data() + q * 64, sizeof first);
      std::memcpy(third, quads.data() + q * 64 + 32, sizeof third);
      const auto at = [](float v) { return static_cast<int>(std::lround(v)); };
      Fill({std::max(at(std::min(first[0], third[0])), clip.left),
            std::max(at(std::min(first[1], third[1])), clip.top),
            std::min(at(std::max(first[0], third[0])), clip.right),
            std::min(at(std::max(first[1], third[1])), clip.bottom)},
           ink);
    }
  }
  static int TextWidth(std::string_view text) {
    std::string ascii = Ascii(text);
    return stb_easy_font_width(ascii.data());
  }
  std::vector<Rgb> Take() { return std::move(pixels_); }

 private:
  static std::size_t Size(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  }
  std::size_t Index(int x, int y) const {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
  }
  // Printable ASCII as it is; anything else one '?' a character (UTF-8 continuation bytes drop).
  static std::string Ascii(std::string_view text) {
    std::string out;
    for (const char c : text) {
      const auto u = static_cast<unsigned char>(c);
      if (u >= 0x80 && u < 0xC0) continue;
      out += u >= 0x20 && u < 0x7F ? c : '?';
    }
    return out;
  }

  int width_, height_;
  std::vector<Rgb> pixels_;
};

void DrawBitmap(Canvas& canvas, int left, int top, const std::uint8_t* prefix, std::size_t size) {
  const std::size_t shown = std::min(size, kPictureBytes);
  for (std::size_t bit = 0; bit < kPictureBytes * 8; ++bit) {
    const std::size_t byte = bit / 8;
    canvas.At(left + static_cast<int>(bit % kBitmapWidth), top + static_cast<int>(bit / kBitmapWidth)) =
        byte >= shown                         ? kNoData
        : (prefix[byte] >> (7 - bit % 8) & 1) ? kOne
                                              : kZero;
  }
}

void DrawHistogram(Canvas& canvas, const std::array<std::uint64_t, 256>& histogram) {
  double total = 0, highest = 0;
  for (const std::uint64_t c : histogram) {
    total += static_cast<double>(c);
    highest = std::max(highest, static_cast<double>(c));
  }
  const double expected = total / 256, sigma = std::sqrt(total * (1.0 / 256) * (255.0 / 256));
  const double scale = std::max({highest, expected + 3 * sigma, 1.0}) * 1.05;
  const auto row_of = [&](double count) {
    const double height = std::clamp(count / scale, 0.0, 1.0) * (kHistogramRows - 1);
    return kHistogramBottom - static_cast<int>(std::lround(height));
  };
  const int band_top = row_of(expected + 3 * sigma), band_bottom = row_of(expected - 3 * sigma);
  const int expected_row = row_of(expected);
  for (int x = 0; x < kBitmapWidth; ++x) {
    const std::uint64_t count = histogram[static_cast<std::size_t>(x / 2)];
    const int bar_top = count > 0 ? row_of(static_cast<double>(count)) : kHistogramBottom + 1;
    for (int y = kHistogramTop; y <= kHistogramBottom; ++y) {
      Rgb& p = canvas.At(kBitmapLeft + x, y);
      if (y == expected_row) {
        p = kExpected;
      } else if (y >= bar_top) {
        p = kBar;
      } else if (y >= band_top && y <= band_bottom) {
        p = kBand;
      }
    }
  }

  // The axes a few pixels off the bars, their ticks and labels in the margins.
  const Box all{0, 0, kPictureWidth, kPictureHeight};
  const int y_axis = kBitmapLeft - 2, x_axis = kHistogramBottom + 2;
  canvas.Fill({y_axis, kHistogramTop, y_axis + 1, x_axis + 1}, kInk);
  canvas.Fill({y_axis, x_axis, kBitmapLeft + kBitmapWidth, x_axis + 1}, kInk);
  for (const int value : {0, 64, 128, 192, 255}) {
    const int x = kBitmapLeft + 2 * value;
    canvas.Fill({x, x_axis + 1, x + 2, x_axis + 4}, kInk);
    const std::string label = std::to_string(value);
    canvas.Text(x + 1 - Canvas::TextWidth(label) / 2, x_axis + 5, label, kInk, all);
  }
  const std::string_view x_title = "byte value";
  canvas.Text(kBitmapLeft + (kBitmapWidth - Canvas::TextWidth(x_title)) / 2, x_axis + 16, x_title, kInk, all);
  const double step = NiceStep(scale, 4);
  for (double count = 0; count <= scale; count += step) {
    const int y = row_of(count);
    canvas.Fill({y_axis - 3, y, y_axis, y + 1}, kInk);
    const std::string label = std::to_string(static_cast<std::uint64_t>(count));
    canvas.Text(y_axis - 5 - Canvas::TextWidth(label), y - 3, label, kInk, all);
  }
  canvas.Text(4, kHistogramTop - 14, "count", kInk, all);
}

// `channels` bytes a pixel: 3 for RGB, 1 for grey.
std::vector<std::uint8_t> EncodePng(const void* pixels, int width, int height, int channels) {
  std::vector<std::uint8_t> png;
  const auto append = [](void* context, void* data, int length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + length);
  };
  if (stbi_write_png_to_func(append, &png, width, height, channels, pixels, width * channels) == 0)
    png.clear();
  return png;
}

}  // namespace

PictureCaption CaptionOf(std::string_view name, const Results& results) {
  return {std::string(name), VerdictLine(results), results.verdict};
}

std::vector<Rgb> PicturePixels(const std::uint8_t* prefix, std::size_t size,
                               const std::array<std::uint64_t, 256>& histogram,
                               const PictureCaption& caption) {
  Canvas canvas(kPictureWidth, kPictureHeight);
  // The caption stays above the bitmap's frame.
  const Box band{0, 0, kPictureWidth, kBitmapTop - 1};
  canvas.Text(4, 3, caption.name, kInk, band);
  canvas.Text(4, 16, caption.verdict,
              caption.level == Verdict::Pass      ? kPassInk
              : caption.level == Verdict::Warning ? kWarningInk
                                                  : kFailInk,
              band);
  canvas.Fill({kBitmapLeft - 1, kBitmapTop - 1, kBitmapLeft + kBitmapWidth + 1, kBitmapTop + kBitmapRows + 1},
              kFrame);
  DrawBitmap(canvas, kBitmapLeft, kBitmapTop, prefix, size);
  DrawHistogram(canvas, histogram);
  return canvas.Take();
}

std::vector<std::uint8_t> PicturePng(const std::uint8_t* prefix, std::size_t size,
                                     const std::array<std::uint64_t, 256>& histogram,
                                     const PictureCaption& caption) {
  static_assert(sizeof(Rgb) == 3);
  return EncodePng(PicturePixels(prefix, size, histogram, caption).data(), kPictureWidth, kPictureHeight, 3);
}

std::vector<std::uint8_t> BitmapPng(const std::uint8_t* prefix, std::size_t size) {
  Canvas canvas(kBitmapWidth, kBitmapRows);
  DrawBitmap(canvas, 0, 0, prefix, size);
  // The bitmap's colours are all greys: one channel compresses random bits to half the size.
  static_assert(kOne.r == kOne.g && kZero.r == kZero.g && kNoData.r == kNoData.g && kNoData.g == kNoData.b);
  std::vector<std::uint8_t> grey;
  for (const Rgb& p : canvas.Take()) grey.push_back(p.r);
  return EncodePng(grey.data(), kBitmapWidth, kBitmapRows, 1);
}

}  // namespace quality
