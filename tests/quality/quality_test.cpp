// The quality checks on hand-made data: cutoffs, FIPS block edges, health events, chunking,
// statistics and the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "quality/checker.h"
#include "quality/picture.h"
#include "quality/report.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(generator());
  return out;
}

quality::Results Check(const Bytes& data, double claim = 8) {
  quality::Checker checker(claim);
  checker.Feed(data.data(), data.size());
  return checker.Finish();
}

TEST(Cutoffs, MatchTheStandardsTableAndGrowWithTheLevel) {
  const struct {
    double h;
    std::uint32_t apt, rct;  // at alpha = 2^-20; rct 0: not in the table
  } table[] = {{0.5, 410, 0}, {1, 311, 21}, {2, 177, 0}, {4, 62, 0}, {8, 13, 4}};
  for (const auto& row : table) {
    EXPECT_EQ(quality::AptCutoff(row.h, 20), row.apt) << row.h;
    EXPECT_EQ(row.rct ? quality::RctCutoff(row.h, 20) : 0u, row.rct) << row.h;
    EXPECT_LT(quality::AptCutoff(row.h, 30), quality::AptCutoff(row.h, 60));
    EXPECT_LE(quality::AptCutoff(row.h, 60), quality::kAptWindow);
  }
  // The FIPS limit: a good source's odd failed block is tolerated, a block failing every time is not.
  EXPECT_EQ(quality::FipsFailureLimit(0), 0u);
  EXPECT_EQ(quality::FipsFailureLimit(3), 2u);
  EXPECT_GT(quality::FipsFailureLimit(400'000), 320u + 6 * 18);
  EXPECT_LT(quality::FipsFailureLimit(400'000), 320u * 3);
}

TEST(Fips, BlocksAtTheEdgesOfEachInterval) {
  const Bytes good = RandomBytes(quality::kFipsBlock, 7);
  std::array<std::uint64_t, 256> histogram{};
  ASSERT_EQ(quality::FipsBlockFailures(good.data(), histogram), 0u);
  const auto ones = [](std::size_t count) {  // the first `count` bits set, the others clear
    Bytes b(quality::kFipsBlock, 0);
    for (std::size_t i = 0; i < count; ++i) b[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    return b;
  };
  const auto with_run = [&](std::size_t at, std::size_t length, bool value) {
    Bytes b = good;
    for (std::size_t i = at - 1; i <= at + length; ++i) {  // the run and its complementary ends
      const bool v = (i >= at && i < at + length) ? value : !value;
      if (i >= b.size() * 8) continue;
      b[i / 8] = static_cast<std::uint8_t>(v ? b[i / 8] | 0x80u >> (i % 8) : b[i / 8] & ~(0x80u >> (i % 8)));
    }
    return b;
  };
  Bytes alternating(quality::kFipsBlock, 0x55);
  const struct {
    const char* name;
    Bytes block;
    unsigned failed;  // a mask over FipsTest, of the tests the edit aims at
  } cases[] = {
      {"ones 9725", ones(9725), 1u << quality::kMonobit},
      {"ones 9726", ones(9726), 0},
      {"ones 10274", ones(10274), 0},
      {"ones 10275", ones(10275), 1u << quality::kMonobit},
      {"run of 25 ones across bytes", with_run(1003, 25, true), 0},
      {"run of 26 zeros across bytes", with_run(1003, 26, false), 1u << quality::kLongRun},
      {"run of 26 ones at the block's end", with_run(20000 - 26, 26, true), 1u << quality::kLongRun},
      {"alternating bits", alternating, 1u << quality::kPoker | 1u << quality::kRuns},
  };
  for (const auto& c : cases) {
    const unsigned aimed = std::string_view(c.name).starts_with("ones")  ? 1u << quality::kMonobit
                           : std::string_view(c.name).starts_with("run") ? 1u << quality::kLongRun
                                                                         : ~0u;
    EXPECT_EQ(quality::FipsBlockFailures(c.block.data(), histogram) & aimed, c.failed) << c.name;
  }
}

TEST(Fips, SeedBlocksTailAndTheContinuousTestAcrossBlocks) {
  Bytes data = RandomBytes(4 + 3 * quality::kFipsBlock + 2499, 11);
  std::memcpy(data.data() + 4, data.data(), 4);  // seed repeated
  std::memcpy(data.data() + 4 + 2 * quality::kFipsBlock, data.data() + 4 + 2 * quality::kFipsBlock - 4,
              4);  // across
  const quality::Results r = Check(data);
  EXPECT_EQ(r.fips.blocks, 3u);
  EXPECT_EQ(r.fips.successes, 1u);
  EXPECT_EQ(r.fips.test_failures[quality::kContinuousRun], 2u);
  EXPECT_EQ(r.statistics.bytes, data.size());
}

TEST(Health, EventsAtTheByteThatReachesTheCutoff) {
  // Claim 8: RCT cutoffs 5/9; APT 16/25 in a window of 512.
  Bytes data(4096);
  for (std::size_t i = 0; i < data.size(); ++i)  // no accidental repeats or matches
    data[i] = static_cast<std::uint8_t>(i % 251);
  std::fill_n(data.begin() + 100, 9, 0xEE);  // RCT: warning at 104, failure at 108
  for (std::size_t k = 0; k < 16; ++k) data[1024 + 30 * k] = data[1024];  // APT window from 1024
  std::vector<quality::HealthEvent> events;
  quality::Checker checker(8, [&](const quality::HealthEvent& e) { events.push_back(e); });
  checker.Feed(data.data(), data.size());
  using quality::HealthLevel, quality::HealthTest;
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].offset, 104u);
  EXPECT_EQ(events[1].offset, 108u);
  EXPECT_EQ(events[1].level, HealthLevel::kFailure);
  EXPECT_EQ(events[2].test, HealthTest::kAdaptiveProportion);
  EXPECT_EQ(events[2].offset, 1024u + 30 * 14);  // the 16th: 15 placed and one of the pattern's
  EXPECT_TRUE(checker.Failed());
  const quality::Results r = checker.Finish();
  EXPECT_EQ(r.verdict, quality::Verdict::kFail);
  EXPECT_NE(quality::VerdictLine(r).find("108"), std::string::npos);
}

TEST(Checker, AnyChunkingGivesTheSameResults) {
  Bytes data = RandomBytes(3 * quality::kFipsBlock + 1234, 5);
  // Bytes repeated one block later: a warning, then a failure; the history spans the feeds.
  std::copy_n(data.begin() + 100, 6, data.begin() + 100 + 1984);
  std::copy_n(data.begin() + 3000, 9, data.begin() + 3000 + 1984);
  const std::string whole = quality::JsonLine("x", Check(data));
  EXPECT_NE(whole.find("\"block_repeat\":{\"cutoff\":4,\"failure_cutoff\":8,\"warnings\":2,\"failures\":1}"),
            std::string::npos)
      << whole;
  std::mt19937 generator(9);
  for (const std::size_t most : {1u, 7u, 600u, 5000u}) {
    quality::Checker checker;
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t n = std::min<std::size_t>(data.size() - at, 1 + generator() % most);
      checker.Feed(data.data() + at, n);
      at += n;
    }
    EXPECT_EQ(quality::JsonLine("x", checker.Finish()), whole) << most;
  }
}

TEST(Statistics, KnownAnswers) {
  Bytes every(256);
  for (std::size_t i = 0; i < 256; ++i) every[i] = static_cast<std::uint8_t>(i);
  const quality::Statistics s = Check(every).statistics;
  EXPECT_DOUBLE_EQ(s.entropy, 8.0);
  EXPECT_DOUBLE_EQ(s.chi_square, 0.0);
  EXPECT_DOUBLE_EQ(s.chi_square_percent, 100.0);
  EXPECT_DOUBLE_EQ(s.mean, 127.5);
  EXPECT_NEAR(s.serial_correlation, 0.9766, 1e-4);  // a ramp: strongly correlated
  const quality::Statistics same = Check(Bytes(12, 7)).statistics;
  EXPECT_FALSE(same.serial_defined);
  EXPECT_DOUBLE_EQ(same.monte_carlo_pi, 4.0);
  EXPECT_DOUBLE_EQ(same.min_entropy_mcv, 0.0);
  EXPECT_TRUE(std::isnan(Check(Bytes(5, 1)).statistics.monte_carlo_pi));  // no whole point
  // The chi-square tail at the median of 255 degrees of freedom, and far out.
  EXPECT_NEAR(quality::ChiSquareUpperTail(254.33, 255), 0.5, 1e-3);
  EXPECT_LT(quality::ChiSquareUpperTail(400, 255), 1e-7);
}

TEST(Report, JsonEscapesTheNameAndLabelsComeFromTheLookup) {
  const quality::Results r = Check(RandomBytes(100, 1));
  const std::string json = quality::JsonLine("a\"b\\c\n\x01.bin", r);
  EXPECT_EQ(json.rfind("{\"file\":\"a\\\"b\\\\c\\u000a\\u0001.bin\",", 0), 0u) << json;
  const auto lines =
      quality::ReportLines(r, [](std::string_view key) { return "<" + std::string(key) + ">"; });
  EXPECT_EQ(lines.front(), "<S001>: 100");
  EXPECT_EQ(lines.back(), "<S033>: <S034>");
  for (const auto& line : quality::ReportLines(r))
    EXPECT_EQ(line.find("  "), std::string::npos) << line;  // no label missing
}

TEST(Picture, PixelsShowTheBitsAndTheHistogram) {
  for (const std::size_t size : {std::size_t{40000}, std::size_t{1000}}) {
    const Bytes data = RandomBytes(size, 2);
    const quality::Results r = Check(data);
    const auto png = quality::PicturePng(data.data(), data.size(), r.histogram);
    int w = 0, h = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &w, &h, &channels, 3),
        stbi_image_free);
    ASSERT_TRUE(pixels);
    ASSERT_EQ(w, quality::kPictureWidth);
    ASSERT_EQ(h, quality::kPictureHeight);
    const auto at = [&](std::size_t x, std::size_t y) {
      const stbi_uc* p = pixels.get() + 3 * (y * quality::kPictureWidth + x);
      return quality::Rgb{p[0], p[1], p[2]};
    };
    std::size_t wrong = 0;
    for (std::size_t bit = 0; bit < quality::kPictureBytes * 8; ++bit) {
      const std::size_t byte = bit / 8;
      const quality::Rgb expected = byte >= size                       ? quality::kNoData
                                    : (data[byte] << (bit % 8) & 0x80) ? quality::kOne
                                                                       : quality::kZero;
      wrong += !(at(bit % quality::kPictureWidth, bit / quality::kPictureWidth) == expected);
    }
    EXPECT_EQ(wrong, 0u);
    // Each byte value's bar (two columns) is drawn from the bottom row, the taller for the larger count.
    const std::size_t bottom = quality::kPictureHeight - 1;
    const auto height = [&](std::size_t value) {
      std::size_t y = bottom;
      while (y > quality::kHistogramTop &&
             (at(2 * value, y) == quality::kBar || at(2 * value, y) == quality::kExpected))
        --y;
      return bottom - y;
    };
    const auto most = std::max_element(r.histogram.begin(), r.histogram.end()) - r.histogram.begin();
    const auto least = std::min_element(r.histogram.begin(), r.histogram.end()) - r.histogram.begin();
    EXPECT_GT(height(static_cast<std::size_t>(most)), height(static_cast<std::size_t>(least)));
    bool band = false;
    for (std::size_t x = 0; x < 512 && !band; ++x)
      for (std::size_t y = quality::kHistogramTop; y < bottom; ++y) band = band || at(x, y) == quality::kBand;
    EXPECT_TRUE(band);
  }
}

}  // namespace
