// The quality checks on hand-made data (cutoffs, FIPS block edges, health events, chunking,
// statistics and the picture), their equality with ent and rngtest on generated files, the
// rngacq-check program, and the simulated module's data faults caught by the checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <regex>

#include "drivers/sim/module_model.h"
#include "quality/checker.h"
#include "quality/picture.h"
#include "quality/report.h"
#include "support/process.h"
#include "support/test_support.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Holds;

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
  // The APT and RCT cutoffs at alpha = 2^-20 (RCT 0: not in the table).
  struct Row {
    double h;
    std::uint32_t apt, rct;
  };
  for (const Row& row : {Row{.h = 0.5, .apt = 410, .rct = 0}, Row{.h = 1, .apt = 311, .rct = 21},
                         Row{.h = 2, .apt = 177, .rct = 0}, Row{.h = 4, .apt = 62, .rct = 0},
                         Row{.h = 8, .apt = 13, .rct = 4}}) {
    SCOPED_TRACE(::testing::Message() << "h = " << row.h);
    EXPECT_EQ(quality::AptCutoff(row.h, 20), row.apt);
    EXPECT_EQ(row.rct ? quality::RctCutoff(row.h, 20) : 0u, row.rct);
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
    // The run and its ends of the other value.
    for (std::size_t i = at - 1; i <= at + length && i < b.size() * 8; ++i) {
      const bool v = (i >= at && i < at + length) ? value : !value;
      b[i / 8] = static_cast<std::uint8_t>(v ? b[i / 8] | 0x80u >> (i % 8) : b[i / 8] & ~(0x80u >> (i % 8)));
    }
    return b;
  };
  // Runs laid out in turn, longest first, so that the last is one bit: 209 runs of six ones or
  // more, the top of their interval, and every other count inside its interval.
  const auto laid_out = [](bool ones_first) {
    std::vector<int> runs[2];
    const std::size_t counts[2][6] = {{2500, 1250, 625, 312, 156, 156}, {2447, 1250, 625, 312, 156, 209}};
    for (std::size_t v = 0; v < 2; ++v) {
      for (std::size_t k = 6; k-- > 0;) runs[v].insert(runs[v].end(), counts[v][k], static_cast<int>(k + 1));
    }
    std::fill_n(runs[0].begin(), 57, 7);  // 20000 bits in all
    Bytes b(quality::kFipsBlock, 0);
    std::size_t at = 0;
    for (std::size_t i = 0; i < 2 * runs[0].size(); ++i) {
      const std::size_t v = (i % 2 == 0) == ones_first ? 1 : 0;
      for (int n = runs[v][i / 2]; n-- > 0; ++at) b[at / 8] |= static_cast<std::uint8_t>(v << (7 - at % 8));
    }
    return b;
  };
  // rngtest counts a block's last run among the other bit value's runs, and one run of six ones
  // or more too many when a block begins with a 1 after a 0 (or as the first block).
  const unsigned runs = 1u << quality::kRuns;
  EXPECT_EQ(quality::FipsBlockFailures(laid_out(false).data(), histogram) & runs, 0u);
  EXPECT_EQ(quality::FipsBlockFailures(laid_out(true).data(), histogram) & runs, runs);
  EXPECT_EQ(quality::FipsBlockFailures(laid_out(true).data(), histogram, true) & runs, 0u);
  const unsigned mono = 1u << quality::kMonobit, long_run = 1u << quality::kLongRun;
  // Masks over FipsTest: `aimed`, the tests a case's edit aims at; `failed`, those of them failed.
  struct Case {
    const char* name;
    Bytes block;
    unsigned aimed, failed;
  };
  const Case cases[] = {
      {.name = "ones 9725", .block = ones(9725), .aimed = mono, .failed = mono},
      {.name = "ones 9726", .block = ones(9726), .aimed = mono, .failed = 0},
      {.name = "ones 10274", .block = ones(10274), .aimed = mono, .failed = 0},
      {.name = "ones 10275", .block = ones(10275), .aimed = mono, .failed = mono},
      {.name = "run of 25 ones across bytes",
       .block = with_run(1003, 25, true),
       .aimed = long_run,
       .failed = 0},
      {.name = "run of 26 zeros across bytes",
       .block = with_run(1003, 26, false),
       .aimed = long_run,
       .failed = long_run},
      {.name = "run of 26 ones at the block's end",
       .block = with_run(20000 - 26, 26, true),
       .aimed = long_run,
       .failed = long_run},
      {.name = "alternating bits",
       .block = Bytes(quality::kFipsBlock, 0x55),
       .aimed = ~0u,
       .failed = 1u << quality::kPoker | runs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(quality::FipsBlockFailures(c.block.data(), histogram) & c.aimed, c.failed);
  }

  // Poker: a block passes when the sum of the squares of its 16 nibble counts lies in
  // [1563176, 1576928] (always even, as the counts sum to 5000).
  struct PokerCase {
    std::uint64_t sum_of_squares;
    std::array<std::size_t, 16> counts;
    bool passes;
  };
  const PokerCase poker_cases[] = {
      {1563174, {294, 316, 314, 312, 310, 311, 312, 312, 330, 312, 312, 313, 313, 313, 313, 313}, false},
      {1563176, {294, 316, 314, 313, 310, 311, 311, 312, 330, 312, 312, 313, 313, 313, 313, 313}, true},
      {1576928, {228, 319, 317, 316, 315, 314, 313, 312, 397, 311, 307, 309, 309, 311, 311, 311}, true},
      {1576930, {228, 319, 317, 316, 315, 314, 313, 312, 397, 312, 307, 309, 309, 310, 311, 311}, false},
  };
  for (const PokerCase& c : poker_cases) {
    std::vector<std::uint8_t> nibbles;
    std::uint64_t squares = 0;
    for (std::size_t value = 0; value < 16; ++value) {
      nibbles.insert(nibbles.end(), c.counts[value], static_cast<std::uint8_t>(value));
      squares += c.counts[value] * c.counts[value];
    }
    SCOPED_TRACE(::testing::Message() << "sum of squares " << c.sum_of_squares);
    ASSERT_EQ(squares, c.sum_of_squares);
    ASSERT_EQ(nibbles.size(), 2 * quality::kFipsBlock);
    Bytes block(quality::kFipsBlock);
    for (std::size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<std::uint8_t>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
    const unsigned poker = 1u << quality::kPoker;
    EXPECT_EQ(quality::FipsBlockFailures(block.data(), histogram) & poker, c.passes ? 0u : poker);
  }
}

// A block's long-run test sees its own 20000 bits only: 25 ones at its end, with more ones in the
// memory after it, are no long run.
TEST(Fips, LongRunEndsWithTheBlock) {
  Bytes memory = RandomBytes(2 * quality::kFipsBlock, 11);
  std::fill(memory.begin() + quality::kFipsBlock - 3, memory.begin() + quality::kFipsBlock + 4, 0xFF);
  memory[quality::kFipsBlock - 4] = 0x01;  // ...0 1: the run's first bit, after a 0
  std::array<std::uint64_t, 256> histogram{};
  const unsigned long_run = 1u << quality::kLongRun;
  EXPECT_EQ(quality::FipsBlockFailures(memory.data(), histogram) & long_run, 0u);
  memory[quality::kFipsBlock - 4] = 0x03;  // 26 ones
  EXPECT_EQ(quality::FipsBlockFailures(memory.data(), histogram) & long_run, long_run);
}

TEST(Fips, SeedBlocksTailAndTheContinuousTestAcrossBlocks) {
  Bytes data = RandomBytes(4 + 3 * quality::kFipsBlock + 2499, 11);
  std::memcpy(data.data() + 4, data.data(), 4);  // seed repeated
  const std::size_t across = 4 + 2 * quality::kFipsBlock;
  std::memcpy(data.data() + across, data.data() + across - 4, 4);
  // A word that repeats only three bytes of the one before is no repetition.
  const std::size_t near = 4 + quality::kFipsBlock;
  std::memcpy(data.data() + near, data.data() + near - 4, 3);
  data[near + 3] = static_cast<std::uint8_t>(data[near - 1] + 1);
  const quality::Results r = Check(data);
  EXPECT_EQ(r.fips.blocks, 3u);
  EXPECT_EQ(r.fips.successes, 1u);
  EXPECT_EQ(r.fips.test_failures[quality::kContinuousRun], 2u);
  EXPECT_EQ(r.statistics.bytes, data.size());
}

// A health event with named fields, which a failed comparison prints by name.
struct Event {
  quality::HealthTest test;
  quality::HealthLevel level;
  std::uint64_t offset;
  bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* os) {
  constexpr const char* kTests[] = {"repetition count", "adaptive proportion", "block repetition"};
  *os << '{' << kTests[static_cast<int>(e.test)] << ' '
      << (e.level == quality::HealthLevel::Warning ? "warning" : "failure") << " at " << e.offset << '}';
}

TEST(Health, EventsAtTheByteThatReachesTheCutoff) {
  // Claim 8: RCT cutoffs 5/9; APT 16/25 in a window of 512.
  Bytes data(4096);
  for (std::size_t i = 0; i < data.size(); ++i)  // no accidental repeats or matches
    data[i] = static_cast<std::uint8_t>(i % 251);
  std::fill_n(data.begin() + 100, 9, 0xEE);  // RCT: warning at 104, failure at 108
  for (std::size_t k = 0; k < 16; ++k) data[1024 + 30 * k] = data[1024];  // APT window from 1024
  using enum quality::HealthTest;
  using enum quality::HealthLevel;
  std::vector<Event> events;
  quality::Checker checker(8, [&](const quality::HealthEvent& e) {
    events.push_back({.test = e.test, .level = e.level, .offset = e.offset});
  });
  checker.Feed(data.data(), data.size());
  // APT: the 16th, 15 placed and one of the pattern's.
  const std::vector<Event> expected = {
      {.test = RepetitionCount, .level = Warning, .offset = 104},
      {.test = RepetitionCount, .level = Failure, .offset = 108},
      {.test = AdaptiveProportion, .level = Warning, .offset = 1024 + 30 * 14},
  };
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(checker.Failed());
  const quality::Results r = checker.Finish();
  EXPECT_EQ(r.verdict, quality::Verdict::Fail);
  EXPECT_TRUE(Holds(quality::VerdictLine(r), "108"));
}

TEST(Checker, AnyChunkingGivesTheSameResults) {
  Bytes data = RandomBytes(3 * quality::kFipsBlock + 1234, 5);
  // Bytes repeated one block later: a warning, then a failure; the history spans the feeds.
  std::copy_n(data.begin() + 100, 6, data.begin() + 100 + 1984);
  std::copy_n(data.begin() + 3000, 9, data.begin() + 3000 + 1984);
  const std::string whole = quality::JsonLine("x", Check(data));
  EXPECT_TRUE(Holds(whole, R"("block_repeat":{"cutoff":4,"failure_cutoff":8,"warnings":2,"failures":1})"));
  std::mt19937 generator(9);
  for (const std::size_t most : {1u, 7u, 600u, 5000u}) {
    quality::Checker checker;
    for (std::size_t at = 0, n = 0; at < data.size(); at += n) {
      n = std::min<std::size_t>(data.size() - at, 1 + generator() % most);
      checker.Feed(data.data() + at, n);
    }
    EXPECT_EQ(quality::JsonLine("x", checker.Finish()), whole) << most;
  }
  // Whole blocks, as a run feeds them: each feed after the first starts exactly one block on.
  quality::Checker blocks;
  for (std::size_t at = 0; at < data.size(); at += quality::kRepeatLag)
    blocks.Feed(data.data() + at, std::min(quality::kRepeatLag, data.size() - at));
  EXPECT_EQ(quality::JsonLine("x", blocks.Finish()), whole);
}

TEST(Statistics, KnownAnswers) {
  Bytes every(256);
  for (std::size_t i = 0; i < 256; ++i) every[i] = static_cast<std::uint8_t>(i);
  const quality::Statistics s = Check(every).statistics;
  EXPECT_EQ(s.entropy, 8.0);
  EXPECT_EQ(s.chi_square, 0.0);
  EXPECT_EQ(s.chi_square_percent, 100.0);
  EXPECT_EQ(s.mean, 127.5);
  EXPECT_NEAR(s.serial_correlation, 0.9766, 1e-4);  // a ramp: strongly correlated
  const quality::Statistics same = Check(Bytes(12, 7)).statistics;
  EXPECT_FALSE(same.serial_defined);
  EXPECT_EQ(same.monte_carlo_pi, 4.0);
  EXPECT_EQ(same.min_entropy_mcv, 0.0);
  EXPECT_TRUE(std::isnan(Check(Bytes(5, 1)).statistics.monte_carlo_pi));  // no whole point
  // The chi-square tail at the median of 255 degrees of freedom, and far out.
  EXPECT_NEAR(quality::ChiSquareUpperTail(254.33, 255), 0.5, 1e-3);
  EXPECT_LT(quality::ChiSquareUpperTail(400, 255), 1e-7);
}

// No bytes claim no chance of exceeding a chi-square that is not there.
TEST(Statistics, NoBytesGiveNoChiSquareAndNoPercentage) {
  const quality::Results r = Check({});
  EXPECT_EQ(quality::ReportLines(r)[2],
            "Chi square: not available, random data would exceed it in not available percent of cases");
  const std::string json = quality::JsonLine("empty.bin", r);
  EXPECT_TRUE(Holds(json, R"("chi_square":null,"chi_square_percent":null,)")) << json;
}

TEST(Report, JsonEscapesTheNameAndLabelsComeFromTheLookup) {
  const quality::Results r = Check(RandomBytes(100, 1));
  const std::string json = quality::JsonLine("a\"b\\c\n\x01.bin", r);
  const std::string_view escaped_name = "{\"file\":\"a\\\"b\\\\c\\u000a\\u0001.bin\",";
  EXPECT_EQ(json.substr(0, escaped_name.size()), escaped_name);
  const auto lines =
      quality::ReportLines(r, [](std::string_view key) { return "<" + std::string(key) + ">"; });
  EXPECT_EQ(lines.front(), "<S001>: 100");
  EXPECT_EQ(lines.back(), "<S033>: <S034>");
  for (const auto& line : quality::ReportLines(r)) EXPECT_FALSE(Holds(line, "  "));  // no label missing
}

TEST(Picture, PixelsShowTheBitsAndTheHistogram) {
  for (const std::size_t size : {std::size_t{40000}, std::size_t{1000}}) {
    const Bytes data = RandomBytes(size, 2);
    const quality::Results r = Check(data);
    const auto png =
        quality::PicturePng(data.data(), data.size(), r.histogram, quality::CaptionOf("random.bin", r));
    int w = 0, h = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &w, &h, &channels, 3),
        stbi_image_free);
    ASSERT_EQ(std::tuple(w, h), std::tuple(quality::kPictureWidth, quality::kPictureHeight));
    const auto at = [&](std::size_t x, std::size_t y) {
      const stbi_uc* p = pixels.get() + 3 * (y * quality::kPictureWidth + x);
      return quality::Rgb{p[0], p[1], p[2]};
    };
    const quality::Rgb bits[] = {quality::kZero, quality::kOne};
    std::size_t wrong = 0, first_wrong = 0;
    for (std::size_t bit = 0; bit < quality::kPictureBytes * 8; ++bit) {
      const quality::Rgb expected =
          bit / 8 >= size ? quality::kNoData : bits[data[bit / 8] >> (7 - bit % 8) & 1];
      if (at(quality::kBitmapLeft + bit % quality::kBitmapWidth,
             quality::kBitmapTop + bit / quality::kBitmapWidth) == expected)
        continue;
      if (wrong++ == 0) first_wrong = bit;
    }
    EXPECT_EQ(wrong, 0u) << "pixels of the wrong colour in a picture of " << size
                         << " bytes, the first for bit " << first_wrong;
    // The caption band holds the name and the verdict: not all background.
    std::size_t inked = 0;
    for (std::size_t y = 0; y < quality::kCaptionRows; ++y)
      for (std::size_t x = 0; x < quality::kPictureWidth; ++x) inked += at(x, y) != quality::kZero;
    EXPECT_GT(inked, 100u) << "caption pixels";
    // Each byte value's bar (two columns) is drawn from the bottom row, the taller for the larger count.
    const std::size_t bottom = quality::kHistogramBottom;
    const auto height = [&](auto value) {
      const auto x = quality::kBitmapLeft + 2 * static_cast<std::size_t>(value - r.histogram.begin());
      std::size_t y = bottom;
      while (y > quality::kHistogramTop && (at(x, y) == quality::kBar || at(x, y) == quality::kExpected)) --y;
      return bottom - y;
    };
    const auto [least, most] = std::ranges::minmax_element(r.histogram);
    EXPECT_GT(height(most), height(least));
    bool band = false;
    for (std::size_t x = quality::kBitmapLeft; x < quality::kBitmapLeft + quality::kBitmapWidth && !band; ++x)
      for (std::size_t y = quality::kHistogramTop; y < bottom; ++y) band = band || at(x, y) == quality::kBand;
    EXPECT_TRUE(band);

    // The bitmap alone, as the HTML report embeds it, has the same pixels.
    const auto bitmap_png = quality::BitmapPng(data.data(), data.size());
    std::unique_ptr<stbi_uc, void (*)(void*)> bitmap(
        stbi_load_from_memory(bitmap_png.data(), static_cast<int>(bitmap_png.size()), &w, &h, &channels, 3),
        stbi_image_free);
    ASSERT_EQ(std::tuple(w, h), std::tuple(quality::kBitmapWidth, quality::kBitmapRows));
    std::size_t differing = 0;
    for (std::size_t y = 0; y < quality::kBitmapRows; ++y)
      differing += std::memcmp(bitmap.get() + 3 * y * quality::kBitmapWidth,
                               pixels.get() + 3 * ((quality::kBitmapTop + y) * quality::kPictureWidth +
                                                   quality::kBitmapLeft),
                               3 * quality::kBitmapWidth) != 0;
    EXPECT_EQ(differing, 0u) << "rows of the bitmap alone that differ from the picture's";
  }
}

// Blocks near the edges of every FIPS test, each kind in turn: biased bits (monobit), sticky or
// jumpy bits (runs), inserted runs of 25 to 27 bits (long run), skewed nibbles (poker) and
// repeated words, some across block boundaries (continuous run).
Bytes EdgeBlocks(std::size_t blocks, std::uint32_t seed) {
  std::mt19937_64 g(seed);
  std::uniform_real_distribution<double> u(0, 1);
  Bytes out(4 + blocks * 2500 + 1000);
  for (auto& b : out) b = static_cast<std::uint8_t>(g());
  const auto set_bit = [&](std::size_t i, bool v) {
    auto& b = out[i / 8];
    b = static_cast<std::uint8_t>(v ? b | 1u << (i % 8) : b & ~(1u << (i % 8)));
  };
  for (std::size_t k = 0; k < blocks; ++k) {
    const std::size_t start = 4 + k * 2500, bit0 = start * 8;
    switch (k % 6) {
      case 0:
        for (std::size_t i = 0; i < 20000; ++i) set_bit(bit0 + i, u(g) < (k % 12 ? 0.48625 : 0.51375));
        break;
      case 1: {
        const double flip = k % 12 == 1 ? 0.473 : 0.527;
        bool v = g() & 1;
        for (std::size_t i = 0; i < 20000; ++i) set_bit(bit0 + i, v = u(g) < flip ? !v : v);
        break;
      }
      case 2: {
        const auto length = static_cast<std::size_t>(25 + g() % 3),
                   at = static_cast<std::size_t>(g() % (20000 - length + 1));
        const bool v = g() & 1;
        for (std::size_t i = at; i < at + length; ++i) set_bit(bit0 + i, v);
        break;
      }
      case 3:
        for (std::size_t i = 0; i < 2500; ++i) {
          const auto nibble = [&] { return u(g) < 0.0185 ? 0u : static_cast<unsigned>(g() % 16); };
          out[start + i] = static_cast<std::uint8_t>(nibble() | nibble() << 4);
        }
        break;
      case 4:  // nearly even nibbles: the poker value near its lower edge
        for (std::size_t i = 0; i < 1250; ++i)
          out[start + i] = static_cast<std::uint8_t>((i % 16) | (i / 16 % 16) << 4);
        std::shuffle(out.begin() + static_cast<std::ptrdiff_t>(start),
                     out.begin() + static_cast<std::ptrdiff_t>(start + 1250), g);
        break;
      default: {
        const auto word = static_cast<std::size_t>(g() % 626);  // 0: the word before the block
        std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(start + 4 * word) - 4, 4,
                    out.begin() + static_cast<std::ptrdiff_t>(start + 4 * word));
      }
    }
  }
  return out;
}

TEST(Tools, FiguresEqualEntAndRngtest) {
#ifdef _WIN32
  GTEST_SKIP() << "ent and rngtest are compared on Linux, where the same checker is built";
#endif
  if (std::system("command -v ent >/dev/null && command -v rngtest >/dev/null") != 0)
    // Not a skip: these figures are guarded by nothing else. scripts/setup.sh installs both.
    FAIL() << "ent or rngtest is not installed: scripts/install-packages.sh quality";
  const testing_support::ScratchDir dir;
  struct File {
    const char* name;
    Bytes data;
  };
  for (const auto& [name, data] :
       {File{.name = "4500 edge blocks", .data = EdgeBlocks(4500, 1)},
        File{.name = "61 edge blocks", .data = EdgeBlocks(61, 2)},
        File{.name = "7777 bytes 0x33", .data = Bytes(7777, 0x33)},
        File{.name = "ABCDEFG", .data = Bytes{0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}}}) {
    SCOPED_TRACE(name);
    const std::string file = dir / "data.bin";
    testing_support::WriteFile(file, std::string(data.begin(), data.end()));
    const quality::Results r = Check(data);
    std::string report;
    for (const auto& line : quality::ReportLines(r)) report += line + "\n";

    // Every figure ent prints stands in the report as ent prints it.
    const std::string ent =
        testing_support::RunProgram("/bin/sh", {"-c", "ent " + file}, dir.path().string()).out;
    const std::regex figure(R"((-?\d+\.\d+|less than 0\.01|greater than 99\.99|undefined))");
    int figures = 0;
    for (std::sregex_iterator it(ent.begin(), ent.end(), figure), end; it != end; ++it, ++figures) {
      std::string text = it->str();
      if (text.starts_with("greater")) text = "more than 99.99";
      if (text == "127.5" || text == "0.0") continue;  // ent's reference values
      EXPECT_TRUE(Holds(report, text)) << "ent printed:\n" << ent;
    }
    EXPECT_GE(figures, 5) << ent;

    const std::string rngtest =
        testing_support::RunProgram("/bin/sh", {"-c", "rngtest <" + file + " 2>&1"}, dir.path().string()).out;
    // Each of rngtest's counts (its label as a regular expression) against ours.
    struct Count {
      std::string label;
      std::uint64_t ours;
    };
    const Count counts[] = {
        {.label = "successes", .ours = r.fips.successes},
        {.label = "failures", .ours = r.fips.failures},
        {.label = "\\) Monobit", .ours = r.fips.test_failures[quality::kMonobit]},
        {.label = "\\) Poker", .ours = r.fips.test_failures[quality::kPoker]},
        {.label = "\\) Runs", .ours = r.fips.test_failures[quality::kRuns]},
        {.label = "\\) Long run", .ours = r.fips.test_failures[quality::kLongRun]},
        {.label = "\\) Continuous run", .ours = r.fips.test_failures[quality::kContinuousRun]},
    };
    for (const Count& count : counts) {
      std::smatch m;
      const bool found = std::regex_search(rngtest, m, std::regex(count.label + R"(: (\d+))"));
      EXPECT_TRUE(found) << count.label << " is not in:\n" << rngtest;
      if (found) {
        EXPECT_EQ(std::stoull(m[1]), count.ours) << count.label << " in:\n" << rngtest;
      }
    }
  }
}

TEST(CheckProgram, ReportsJsonPictureAndExitCodes) {
  const testing_support::ScratchDir dir;
  const Bytes good = RandomBytes(100000, 4);
  testing_support::WriteFile(dir / "good.bin", std::string(good.begin(), good.end()));
  const std::string stuck = "stuck one.bin";  // escaping names is the Report test's
  testing_support::WriteFile(dir / stuck, std::string(20000, 'x'));
  // Each case: the arguments, the exit code, a piece of standard output.
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string output;
  };
  const Case cases[] = {
      {.args = {"good.bin"}, .exit_code = 0, .output = "Verdict: pass"},
      {.args = {"--json", "good.bin", stuck},
       .exit_code = 1,
       .output = "{\"file\":\"stuck one.bin\",\"bytes\":20000,"},
      {.args = {"--json", "--entropy=1", "good.bin"}, .exit_code = 0, .output = "\"rct\":{\"cutoff\":31,"},
      {.args = {"--png=p.png", "good.bin"}, .exit_code = 0, .output = "good.bin"},
      {.args = {"--version"}, .exit_code = 0, .output = "rngacq-check " RNGACQ_VERSION},
      {.args = {"--entropy=9", "good.bin"}, .exit_code = 2, .output = ""},
      {.args = {"--entropy=0.5", "good.bin"}, .exit_code = 2, .output = ""},
      {.args = {"--png=p.png", "good.bin", "good.bin"}, .exit_code = 2, .output = ""},
      {.args = {"--bogus"}, .exit_code = 2, .output = ""},
      {.args = {}, .exit_code = 2, .output = ""},
      {.args = {"missing.bin", "good.bin"}, .exit_code = 2, .output = "Verdict: pass"},
  };
  for (const Case& c : cases) {
    std::string command_line = "rngacq-check";
    for (const std::string& arg : c.args) command_line += " " + arg;
    SCOPED_TRACE(command_line);
    const auto result = testing_support::RunProgram(RNGACQ_CHECK_PROGRAM, c.args, dir.path().string());
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out;
    EXPECT_TRUE(Holds(result.out, c.output));
  }
  const std::string png = testing_support::ReadFile(dir / "p.png");
  EXPECT_EQ(png.substr(0, testing_support::kPngSignature.size()), testing_support::kPngSignature);
}

// The module's data as the program asks for them: blocks of 1984 bytes, cut to `bytes`.
Bytes Next(sim::ModuleModel& model, std::size_t bytes) {
  Bytes out, answer(16 + 1984);
  while (out.size() < bytes) {
    const std::uint8_t request[16] = {0x13, 0x37, 0xDA, 0x7A, 0, 0, 0, 0,
                                      0,    0,    0,    0,    0, 0, 0, 124};  // 124 frames
    model.Feed(request, sizeof request);
    const std::size_t n = model.Take(answer.data(), answer.size());
    out.insert(out.end(), answer.begin() + 16, answer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  out.resize(bytes);
  return out;
}

Bytes ModuleData(const sim::DataFaults& faults, std::size_t bytes) {
  sim::ModuleModel model(1, {}, faults);
  return Next(model, bytes);
}

TEST(SimulatedFaults, EachIsCaughtSoon) {
  using R = quality::Results;
  const struct {
    const char* name;
    sim::DataFaults faults;
    double claim;
    quality::HealthResult R::*test;  // the health test that stops it, within `within` bytes of `from`
    std::uint64_t from, within;
  } cases[] = {
      {.name = "stuck from byte 5000",
       .faults = {.stuck_after = 5000, .bias_permille = {}, .repeat_after = {}},
       .claim = 8,
       .test = &R::rct,
       .from = 5000,
       .within = 8},
      {.name = "stuck, raw-mode claim",
       .faults = {.stuck_after = 5000, .bias_permille = {}, .repeat_after = {}},
       .claim = 1,
       .test = &R::rct,
       .from = 5000,
       .within = 60},
      {.name = "blocks repeated from block 3",
       .faults = {.stuck_after = {}, .bias_permille = {}, .repeat_after = 3},
       .claim = 8,
       .test = &R::repeat,
       .from = 3 * 1984,
       .within = 8},
      {.name = "repeated, raw-mode claim",
       .faults = {.stuck_after = {}, .bias_permille = {}, .repeat_after = 3},
       .claim = 1,
       .test = &R::repeat,
       .from = 3 * 1984,
       .within = 60},
      {.name = "bias 600 per mille",
       .faults = {.stuck_after = {}, .bias_permille = 600, .repeat_after = {}},
       .claim = 8,
       .test = nullptr,
       .from = 0,
       .within = 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const quality::Results r = Check(ModuleData(c.faults, 200'000), c.claim);
    EXPECT_EQ(r.verdict, quality::Verdict::Fail);
    if (c.test == nullptr) continue;
    const std::uint64_t at = (r.*c.test).failures > 0 ? (r.*c.test).first_failure_offset : ~0ull;
    EXPECT_GE(at, c.from) << "the first failure";
    EXPECT_LE(at, c.from + c.within) << "the first failure";
  }
  // Bias: every FIPS block fails its monobit test; the good stream passes at either claim.
  EXPECT_EQ(Check(ModuleData({.stuck_after = {}, .bias_permille = 600, .repeat_after = {}}, 20 * 2500 + 4))
                .fips.test_failures[quality::kMonobit],
            20u);
  for (const double claim : {8.0, 1.0})
    EXPECT_EQ(Check(ModuleData({}, 1 << 20), claim).verdict, quality::Verdict::Pass) << claim;
}

// A bias at either end leaves nothing to chance: every data bit set, or none.
TEST(SimulatedFaults, BiasOfAThousandPerMilleSetsEveryBitAndNoneClearsThemAll) {
  sim::DataFaults faults;
  faults.bias_permille = 1000;
  const Bytes all = ModuleData(faults, 100000);
  EXPECT_EQ(std::count(all.begin(), all.end(), 0xFF), 100000);
  faults.bias_permille = 0;
  const Bytes none = ModuleData(faults, 100000);
  EXPECT_EQ(std::count(none.begin(), none.end(), 0x00), 100000);
}

// Each bit of a biased byte is drawn on its own: at even odds the low bit of each nibble differs
// in about half the bytes.
TEST(SimulatedFaults, BiasedBitsAreDrawnEachOnItsOwn) {
  sim::DataFaults faults;
  faults.bias_permille = 500;
  const Bytes data = ModuleData(faults, 10000);
  const auto differing =
      std::count_if(data.begin(), data.end(), [](std::uint8_t b) { return (b & 1) != (b >> 4 & 1); });
  EXPECT_GT(differing, 4500);
  EXPECT_LT(differing, 5500);
}

TEST(SimulatedFaults, AModelWithNothingToAnswerGivesNothing) {
  sim::ModuleModel model(1);
  std::uint8_t untouched = 0x55;
  EXPECT_EQ(model.Take(&untouched, 1), 0u);
  EXPECT_EQ(untouched, 0x55);
}

}  // namespace

// A GiB of the good simulated stream at either claim (8 bits per byte as in RND mode, 1 as in raw
// mode) raises no health failure. Long: runs only with RNGACQ_LONG_TESTS=1 (scripts/quality-long.sh).
TEST(SimulatedStream, OneGibibyteRaisesNoHealthFailure) {
  if (std::getenv("RNGACQ_LONG_TESTS") == nullptr) GTEST_SKIP() << "long test: set RNGACQ_LONG_TESTS=1";
  constexpr std::size_t kChunk = 1984 * 512;
  for (const double claim : {8.0, 1.0}) {
    quality::Checker checker(claim);
    sim::ModuleModel model(claim == 8.0 ? 1 : 2);
    for (std::uint64_t fed = 0; fed < (std::uint64_t{1} << 30); fed += kChunk) {
      const Bytes chunk = Next(model, kChunk);
      checker.Feed(chunk.data(), chunk.size());
    }
    const quality::Results r = checker.Finish();
    EXPECT_EQ(r.rct.failures, 0u) << claim;
    EXPECT_EQ(r.apt.failures, 0u) << claim;
    EXPECT_EQ(r.repeat.failures, 0u) << claim;
    EXPECT_LE(r.fips.failures, r.fips_failure_limit) << claim;
    std::cout << "claim " << claim << ": RCT warnings " << r.rct.warnings << ", APT warnings "
              << r.apt.warnings << ", FIPS " << r.fips.failures << " of " << r.fips.blocks
              << " blocks failed\n";
  }
}
