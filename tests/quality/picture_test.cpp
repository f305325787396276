// The picture's histogram drawn from a histogram made by hand: the row where each bar ends, the
// expected count's line and the +-3 sigma band, counted in rows from the bottom.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "quality/picture.h"

namespace quality {
// A colour that differs shows as its components.
void PrintTo(const Rgb& c, std::ostream* out) {
  *out << "rgb(" << int{c.r} << ", " << int{c.g} << ", " << int{c.b} << ")";
}
}  // namespace quality

namespace {

// One column of the histogram from the bottom row up, a letter a pixel: B bar, E the expected
// count, s the band, . nothing.
std::string ColumnFromTheBottom(const std::vector<quality::Rgb>& pixels, int x) {
  std::string column;
  for (int y = quality::kHistogramBottom; y >= quality::kHistogramTop; --y) {
    const quality::Rgb p =
        pixels[static_cast<std::size_t>(y * quality::kPictureWidth + quality::kBitmapLeft + x)];
    column += p == quality::kBar        ? 'B'
              : p == quality::kExpected ? 'E'
              : p == quality::kBand     ? 's'
              : p == quality::kZero     ? '.'
                                        : '?';
  }
  return column;
}

quality::Rgb At(const std::vector<quality::Rgb>& pixels, int x, int y) {
  return pixels[static_cast<std::size_t>(y * quality::kPictureWidth + x)];
}

std::string Runs(std::initializer_list<std::pair<char, int>> runs) {
  std::string column;
  for (const auto& [letter, count] : runs) column.append(static_cast<std::size_t>(count), letter);
  return column;
}

TEST(Picture, HistogramRowsOfAHandMadeCount) {
  // 25,800 bytes: value 0 counted 300 times, every other 100. The scale is the highest count
  // and 5 %: 315 over 159 rows. Expected 100.78 (row 51), sigma 10.02: the band from row 36
  // to row 66; value 0's bar reaches row 151, the others' row 50.
  std::array<std::uint64_t, 256> histogram;
  histogram.fill(100);
  histogram[0] = 300;
  const std::vector<quality::Rgb> pixels = quality::PicturePixels(nullptr, 0, histogram, {});
  const std::string tall = Runs({{'B', 51}, {'E', 1}, {'B', 100}, {'.', 8}});
  const std::string low = Runs({{'B', 51}, {'E', 1}, {'s', 15}, {'.', 93}});
  EXPECT_EQ(ColumnFromTheBottom(pixels, 0), tall);
  EXPECT_EQ(ColumnFromTheBottom(pixels, 1), tall);
  for (const int x : {2, 3, 300, quality::kBitmapWidth - 1})
    EXPECT_EQ(ColumnFromTheBottom(pixels, x), low) << "column " << x;
}

TEST(Picture, ASingleValueAndNoBytesAtAll) {
  // 1,000 bytes of one value: its bar is 1000/1050 of 159 rows high; the expected 3.9 lies on
  // row 1 and the band (3.9 +- 5.9) on rows 0 and 1. Values never seen have no bar.
  std::array<std::uint64_t, 256> histogram{};
  histogram[7] = 1000;
  const std::vector<quality::Rgb> one = quality::PicturePixels(nullptr, 0, histogram, {});
  EXPECT_EQ(ColumnFromTheBottom(one, 14), Runs({{'B', 1}, {'E', 1}, {'B', 150}, {'.', 8}}));
  EXPECT_EQ(ColumnFromTheBottom(one, 16), Runs({{'s', 1}, {'E', 1}, {'.', 158}}));
  // An empty file: no bars, the expected line and band at the bottom row.
  const std::vector<quality::Rgb> none = quality::PicturePixels(nullptr, 0, {}, {});
  EXPECT_EQ(ColumnFromTheBottom(none, 0), Runs({{'E', 1}, {'.', 159}}));
  // The bitmap shows no data, and the gap below its frame is blank.
  EXPECT_EQ(At(none, quality::kBitmapLeft, quality::kBitmapTop), quality::kNoData);
  EXPECT_EQ(At(none, quality::kBitmapLeft + quality::kBitmapWidth - 1,
               quality::kBitmapTop + quality::kBitmapRows - 1),
            quality::kNoData);
  EXPECT_EQ(At(none, quality::kBitmapLeft, quality::kBitmapTop + quality::kBitmapRows + 1), quality::kZero);
}

// Where two pictures differ, as the bounding box of the differing pixels; empty when none do.
struct Difference {
  int left = quality::kPictureWidth, top = quality::kPictureHeight, right = -1, bottom = -1;
  bool Empty() const { return right < 0; }
};
Difference Compare(const std::vector<quality::Rgb>& a, const std::vector<quality::Rgb>& b) {
  Difference d;
  for (int y = 0; y < quality::kPictureHeight; ++y)
    for (int x = 0; x < quality::kPictureWidth; ++x) {
      const std::size_t i = static_cast<std::size_t>(y * quality::kPictureWidth + x);
      if (a[i] == b[i]) continue;
      d = {std::min(d.left, x), std::min(d.top, y), std::max(d.right, x), std::max(d.bottom, y)};
    }
  return d;
}

bool Shows(const std::vector<quality::Rgb>& pixels, int top, int bottom, quality::Rgb ink) {
  for (int y = top; y < bottom; ++y)
    for (int x = 0; x < quality::kPictureWidth; ++x)
      if (pixels[static_cast<std::size_t>(y * quality::kPictureWidth + x)] == ink) return true;
  return false;
}

TEST(Picture, TheCaptionStaysInItsBandAboveTheBitmap) {
  std::array<std::uint64_t, 256> histogram;
  histogram.fill(100);
  const std::vector<std::uint8_t> data(1000, 0x5A);
  const auto picture = [&](const quality::PictureCaption& caption) {
    return quality::PicturePixels(data.data(), data.size(), histogram, caption);
  };
  const std::vector<quality::Rgb> bare = picture({});
  const std::vector<quality::Rgb> failed = picture({"data.bin", "Verdict: fail", quality::Verdict::Fail});
  const Difference d = Compare(bare, failed);
  ASSERT_FALSE(d.Empty()) << "the caption drew nothing";
  EXPECT_LT(d.bottom, quality::kBitmapTop - 1) << "the caption reaches row " << d.bottom;
  EXPECT_TRUE(Shows(failed, 0, quality::kBitmapTop, quality::kFailInk));
  EXPECT_TRUE(Shows(picture({"", "Verdict: pass", quality::Verdict::Pass}), 0, quality::kBitmapTop,
                    quality::kPassInk));
  // The font knows ASCII only: one '?' a character, and a name too long for the band is cut off.
  EXPECT_TRUE(Compare(picture({"\xC3\xA9t\xC3\xA9.bin", "", {}}), picture({"?t?.bin", "", {}})).Empty());
  const Difference long_name = Compare(bare, picture({std::string(400, 'W'), "", {}}));
  EXPECT_EQ(long_name.right, quality::kPictureWidth - 1);
  EXPECT_LT(long_name.bottom, quality::kBitmapTop - 1);
}

TEST(Picture, TheHistogramsAxesAreLabelledInTheMargins) {
  std::array<std::uint64_t, 256> histogram;
  histogram.fill(100);
  const std::vector<quality::Rgb> pixels = quality::PicturePixels(nullptr, 0, histogram, {});
  // The byte values and their title below the histogram, the count scale to its left.
  EXPECT_TRUE(Shows(pixels, quality::kHistogramBottom + 5, quality::kPictureHeight, quality::kInk));
  bool scale = false;
  for (int y = quality::kHistogramTop; y <= quality::kHistogramBottom; ++y)
    for (int x = 0; x < quality::kBitmapLeft - 5; ++x) scale = scale || At(pixels, x, y) == quality::kInk;
  EXPECT_TRUE(scale);
  // A different count scale labels the axis differently, and only the labels change there.
  histogram.fill(100000);
  const Difference d = Compare(pixels, quality::PicturePixels(nullptr, 0, histogram, {}));
  ASSERT_FALSE(d.Empty());
  EXPECT_GE(d.top, quality::kHistogramTop - 14);
}

}  // namespace
