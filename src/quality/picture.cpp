#include "quality/picture.h"

#include <algorithm>
#include <cmath>

// The one translation unit with the PNG writer's implementation; it writes to memory only.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace quality {

std::vector<Rgb> PicturePixels(const std::uint8_t* prefix, std::size_t size,
                               const std::array<std::uint64_t, 256>& histogram) {
  std::vector<Rgb> pixels(std::size_t{kPictureWidth} * kPictureHeight, kZero);
  const std::size_t shown = std::min(size, kPictureBytes);
  for (std::size_t bit = 0; bit < kPictureBytes * 8; ++bit) {
    const std::size_t byte = bit / 8;
    pixels[bit] = byte >= shown ? kNoData : (prefix[byte] >> (7 - bit % 8) & 1) ? kOne : kZero;
  }

  double total = 0, highest = 0;
  for (const std::uint64_t c : histogram) {
    total += static_cast<double>(c);
    highest = std::max(highest, static_cast<double>(c));
  }
  const double expected = total / 256, sigma = std::sqrt(total * (1.0 / 256) * (255.0 / 256));
  const double scale = std::max({highest, expected + 3 * sigma, 1.0}) * 1.05;
  // Row of a count: the histogram's bottom row is 0.
  const auto row_of = [&](double count) {
    const double height = std::clamp(count / scale, 0.0, 1.0) * (kHistogramRows - 1);
    return kPictureHeight - 1 - static_cast<int>(std::lround(height));
  };
  const int band_top = row_of(expected + 3 * sigma), band_bottom = row_of(expected - 3 * sigma);
  const int expected_row = row_of(expected);
  for (int x = 0; x < kPictureWidth; ++x) {
    const int bar_top = histogram[static_cast<std::size_t>(x / 2)] > 0
                            ? row_of(static_cast<double>(histogram[static_cast<std::size_t>(x / 2)]))
                            : kPictureHeight;
    for (int y = kHistogramTop; y < kPictureHeight; ++y) {
      Rgb& p = pixels[static_cast<std::size_t>(y) * kPictureWidth + static_cast<std::size_t>(x)];
      if (y == expected_row) {
        p = kExpected;
      } else if (y >= bar_top) {
        p = kBar;
      } else if (y >= band_top && y <= band_bottom) {
        p = kBand;
      }
    }
  }
  return pixels;
}

std::vector<std::uint8_t> PicturePng(const std::uint8_t* prefix, std::size_t size,
                                     const std::array<std::uint64_t, 256>& histogram) {
  const std::vector<Rgb> pixels = PicturePixels(prefix, size, histogram);
  static_assert(sizeof(Rgb) == 3);
  std::vector<std::uint8_t> png;
  const auto append = [](void* context, void* data, int length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + length);
  };
  if (stbi_write_png_to_func(append, &png, kPictureWidth, kPictureHeight, 3, pixels.data(),
                             kPictureWidth * 3) == 0)
    png.clear();
  return png;
}

}  // namespace quality
