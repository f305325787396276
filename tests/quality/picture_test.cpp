// The picture's histogram drawn from a histogram made by hand: the row where each bar ends, the
// expected count's line and the +-3 sigma band, counted in rows from the bottom.
#include <gtest/gtest.h>

#include <string>

#include "quality/picture.h"

namespace {

// One column of the histogram from the bottom row up, a letter a pixel: B bar, E the expected
// count, s the band, . nothing.
std::string ColumnFromTheBottom(const std::vector<quality::Rgb>& pixels, int x) {
  std::string column;
  for (int y = quality::kPictureHeight - 1; y >= quality::kHistogramTop; --y) {
    const quality::Rgb p = pixels[static_cast<std::size_t>(y * quality::kPictureWidth + x)];
    column += p == quality::kBar        ? 'B'
              : p == quality::kExpected ? 'E'
              : p == quality::kBand     ? 's'
              : p == quality::kZero     ? '.'
                                        : '?';
  }
  return column;
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
  const std::vector<quality::Rgb> pixels = quality::PicturePixels(nullptr, 0, histogram);
  const std::string tall = Runs({{'B', 51}, {'E', 1}, {'B', 100}, {'.', 8}});
  const std::string low = Runs({{'B', 51}, {'E', 1}, {'s', 15}, {'.', 93}});
  EXPECT_EQ(ColumnFromTheBottom(pixels, 0), tall);
  EXPECT_EQ(ColumnFromTheBottom(pixels, 1), tall);
  for (const int x : {2, 3, 300, quality::kPictureWidth - 1})
    EXPECT_EQ(ColumnFromTheBottom(pixels, x), low) << "column " << x;
}

TEST(Picture, ASingleValueAndNoBytesAtAll) {
  // 1,000 bytes of one value: its bar is 1000/1050 of 159 rows high; the expected 3.9 lies on
  // row 1 and the band (3.9 +- 5.9) on rows 0 and 1. Values never seen have no bar.
  std::array<std::uint64_t, 256> histogram{};
  histogram[7] = 1000;
  const std::vector<quality::Rgb> one = quality::PicturePixels(nullptr, 0, histogram);
  EXPECT_EQ(ColumnFromTheBottom(one, 14), Runs({{'B', 1}, {'E', 1}, {'B', 150}, {'.', 8}}));
  EXPECT_EQ(ColumnFromTheBottom(one, 16), Runs({{'s', 1}, {'E', 1}, {'.', 158}}));
  // An empty file: no bars, the expected line and band at the bottom row.
  const std::vector<quality::Rgb> none = quality::PicturePixels(nullptr, 0, {});
  EXPECT_EQ(ColumnFromTheBottom(none, 0), Runs({{'E', 1}, {'.', 159}}));
  // The bitmap shows no data, and the gap below it is blank.
  EXPECT_EQ(none[0], quality::kNoData);
  EXPECT_EQ(none[quality::kPictureBytes * 8 - 1], quality::kNoData);
  EXPECT_EQ(none[quality::kPictureBytes * 8], quality::kZero);
}

}  // namespace
