// The SP 800-90B non-IID assessment: every figure of NIST's reference tool on its sample files,
// the suffix sorting against a plain one, hand-made sequences whose estimates follow from their
// shape, inputs too short for an estimator, and how samples are read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string_view>

#include "quality/assessment.h"
#include "quality/assessment_estimators.h"
#include "quality/assessment_known_answers.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace est = quality::estimators;

Bytes Load(const std::string& path) {
  const std::string text = testing_support::ReadFile(path);
  return Bytes(text.begin(), text.end());
}

const quality::Estimate* Find(const std::vector<quality::Estimate>& list, std::string_view name) {
  for (const auto& e : list)
    if (name == e.name) return &e;
  return nullptr;
}

// Every row of the reference tool's output against the assessment, to 1e-11 relative.
void ExpectFigures(const quality::NonIidResult& r, std::span<const known_answers::Row> rows) {
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.track) + " " + row.estimator + ": " + row.figure);
    double actual = 0;
    if (*row.track == '\0') {
      actual = std::string_view(row.figure) == "H_bitstring"  ? r.h_bitstring
               : std::string_view(row.figure) == "H_original" ? r.h_original
                                                              : r.h_assessed;
    } else {
      const auto* e =
          Find(std::string_view(row.track) == "Bitstring" ? r.bitstring : r.original, row.estimator);
      ASSERT_NE(e, nullptr);
      ASSERT_TRUE(e->applicable) << e->reason;
      actual = std::string_view(row.figure) == "min entropy" ? e->min_entropy : e->Get(row.figure);
    }
    if (std::isnan(row.value)) {
      EXPECT_TRUE(std::isnan(actual)) << "P_local = " << actual << ", the reference tool has none";
    } else {
      EXPECT_NEAR(actual, row.value, 1e-11 * std::abs(row.value));
    }
  }
}

std::string DataFile(const char* name) {
  return std::string(RNGACQ_SOURCE_DIR "/tests/data/sp800-90b/") + name;
}

TEST(Assessment, MatchesTheReferenceToolOnItsShortSampleFiles) {
  const struct {
    const char* file;
    unsigned bits;
    std::span<const known_answers::Row> rows;
    std::size_t original, bitstring;
  } cases[] = {{"rand1_short.bin", 1, known_answers::kRand1Short, 10, 0},
               {"rand4_short.bin", 4, known_answers::kRand4Short, 7, 10},
               {"rand8_short.bin", 8, known_answers::kRand8Short, 7, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes data = Load(DataFile(c.file));
    ASSERT_EQ(data.size(), 10000u);
    const quality::NonIidResult r = quality::AssessNonIid(data, c.bits);
    EXPECT_EQ(r.original.size(), c.original);
    EXPECT_EQ(r.bitstring.size(), c.bitstring);
    ExpectFigures(r, c.rows);
  }
}

// The million-sample files stay out of the repository: configure with
// -DRNGACQ_SP800_90B_DIR=<folder holding truerand_8bit.bin and biased-random-bytes.bin>.
TEST(Assessment, MatchesTheReferenceToolOnMillionSampleFiles) {
  const std::string folder = RNGACQ_SP800_90B_DIR;
  if (folder.empty() || !std::filesystem::exists(folder + "/truerand_8bit.bin"))
    GTEST_SKIP() << "RNGACQ_SP800_90B_DIR names no folder with the large sample files";
  const struct {
    const char* file;
    std::span<const known_answers::Row> rows;
  } cases[] = {{"truerand_8bit.bin", known_answers::kTruerand8bit},
               {"biased-random-bytes.bin", known_answers::kBiasedRandomBytes}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes data = Load(folder + "/" + c.file);
    ASSERT_EQ(data.size(), 1000000u);
    ExpectFigures(quality::AssessNonIid(data, 8), c.rows);
  }
}

// The common prefixes of sorted neighbours, from plainly sorted suffixes.
std::vector<std::uint32_t> PlainPrefixes(const Bytes& s) {
  std::vector<std::string_view> suffixes;
  const std::string_view all(reinterpret_cast<const char*>(s.data()), s.size());
  for (std::size_t i = 0; i < s.size(); ++i) suffixes.push_back(all.substr(i));
  std::sort(suffixes.begin(), suffixes.end());
  std::vector<std::uint32_t> lcp;
  for (std::size_t r = 1; r < suffixes.size(); ++r) {
    const auto& a = suffixes[r - 1];
    const auto& b = suffixes[r];
    lcp.push_back(
        static_cast<std::uint32_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin()));
  }
  return lcp;
}

TEST(Assessment, SortsSuffixesAsAPlainSortDoes) {
  std::mt19937 generator(7);
  const auto random = [&](std::size_t n, unsigned values) {
    Bytes s(n);
    for (auto& b : s) b = static_cast<std::uint8_t>(generator() % values);
    return s;
  };
  Bytes period = random(37, 2), zeros_with_noise(3000, 0), repeated_block, bytes = random(2000, 256);
  while (period.size() < 3000) period.push_back(period[period.size() - 37]);
  for (std::size_t i = 0; i < zeros_with_noise.size(); i += 1 + generator() % 300) zeros_with_noise[i] = 1;
  const Bytes block = random(100, 16);
  for (int i = 0; i < 20; ++i) repeated_block.insert(repeated_block.end(), block.begin(), block.end());
  // Short keys only, whole keys agreeing (the full sort), prefixes too long for comparing
  // neighbours directly (the linear-time measure), several widths.
  const struct {
    const char* name;
    Bytes samples;
  } cases[] = {{"random bits", random(3000, 2)},
               {"period 37", period},
               {"zeros with noise", zeros_with_noise},
               {"a block 20 times", repeated_block},
               {"constant", Bytes(1500, 3)},
               {"5-bit values", random(3000, 32)},
               {"bytes", bytes},
               {"two samples", Bytes{1, 1}}};
  for (const auto& c : cases) {
    const auto expected = PlainPrefixes(c.samples);
    const auto actual = est::NeighbourPrefixes(c.samples);
    ASSERT_EQ(actual.size(), expected.size()) << c.name;
    const auto at = std::mismatch(actual.begin(), actual.end(), expected.begin()).first - actual.begin();
    EXPECT_EQ(at, actual.end() - actual.begin())
        << c.name << ": neighbours " << at << " share " << actual[static_cast<std::size_t>(at)] << ", not "
        << expected[static_cast<std::size_t>(at)];
  }
}

std::vector<quality::Estimate> AllOn(const Bytes& s, unsigned k) {
  std::vector<quality::Estimate> all{est::MostCommonValue(s)};
  if (k == 2) all.insert(all.end(), {est::Collision(s), est::Markov(s), est::Compression(s)});
  const auto [tuple, lrs] = est::TupleEstimates(s);
  all.insert(all.end(),
             {tuple, lrs, est::MultiMcw(s, k), est::Lag(s, k), est::MultiMmc(s, k), est::Lz78y(s, k)});
  return all;
}

TEST(Assessment, ConstantSamplesHaveNoEntropyForAnyEstimator) {
  for (const unsigned k : {2u, 256u}) {
    for (const auto& e : AllOn(Bytes(6200, 1), k)) {
      SCOPED_TRACE(e.name);
      ASSERT_TRUE(e.applicable) << e.reason;
      EXPECT_EQ(e.min_entropy, 0.0);
    }
  }
  // One value in the samples awards nothing, without estimating.
  const auto r = quality::AssessNonIid(Bytes(5000, 0x35), 4);
  EXPECT_EQ(r.distinct, 1u);
  EXPECT_TRUE(r.original.empty() && r.bitstring.empty());
  EXPECT_EQ(r.h_assessed, 0.0);
}

TEST(Assessment, AlternatingBitsArePredictedAndTheirStatisticsAsWorkedOut) {
  Bytes s(6600);  // 1100 blocks for the compression estimate
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i % 2);
  // Every collision takes 3 bits, beyond the mean of 2.5 that any bias gives: full entropy.
  const auto collision = est::Collision(s);
  EXPECT_EQ(collision.Get("X-bar"), 3.0);
  EXPECT_EQ(collision.Get("sigma-hat"), 0.0);
  EXPECT_EQ(collision.min_entropy, 1.0);
  // The likeliest 128 bits are 0101... with certain transitions: only the first bit is a guess.
  const auto markov = est::Markov(s);
  EXPECT_EQ(markov.Get("P_{0,1}"), 1.0);
  EXPECT_DOUBLE_EQ(markov.min_entropy, 1.0 / 128);
  // All but the predictors' first guesses are right; every 6-bit block repeats the one before.
  for (const auto& e : {est::Lag(s, 2), est::MultiMmc(s, 2), est::Lz78y(s, 2), est::Compression(s)}) {
    SCOPED_TRACE(e.name);
    EXPECT_LT(e.min_entropy, 0.01);
  }
  EXPECT_EQ(est::Lag(s, 2).Get("C"), 6600.0 - 3);  // of 6599: lag 1 is wrong twice, then lag 2 leads
}

TEST(Assessment, ARepeatedBlockIsLearnedByLagAndMarkovModels) {
  std::mt19937 generator(3);
  Bytes block(50), s;
  for (auto& b : block) b = static_cast<std::uint8_t>(generator() % 16);
  while (s.size() < 20000) s.insert(s.end(), block.begin(), block.end());
  const unsigned k = 16;
  const auto random_like = est::MostCommonValue(s).min_entropy;  // the values alone look varied
  EXPECT_GT(random_like, 2.0);
  for (const auto& e : {est::Lag(s, k), est::MultiMmc(s, k)}) {
    SCOPED_TRACE(e.name);
    EXPECT_LT(e.min_entropy, 0.01);
  }
  // LZ78Y trusts the context whose successor was counted most: the short ones, seen several times
  // a period with different successors, outvote the long ones that always know.
  EXPECT_GT(est::Lz78y(s, k).min_entropy, 1.0);
  const auto [tuple, lrs] = est::TupleEstimates(s);
  EXPECT_EQ(lrs.Get("v"), 20000.0 - 50);  // the string repeats itself 50 samples on
}

TEST(Assessment, TooShortInputsAreNotApplicableNotZero) {
  for (const std::size_t n : {0u, 1u, 3u, 18u, 100u}) {
    Bytes s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::uint8_t>(i * 7 % 3 == 0);
    for (const auto& e : AllOn(s, 2)) {
      SCOPED_TRACE(std::string(e.name) + " on " + std::to_string(n) + " bits");
      if (e.applicable) {
        EXPECT_TRUE(e.min_entropy >= 0 && e.min_entropy <= 1) << e.min_entropy;
      } else {
        EXPECT_TRUE(std::isnan(e.min_entropy));
        EXPECT_STRNE(e.reason, "");
      }
    }
  }
  // 100 bits: MultiMCW's largest window and the compression dictionary need thousands.
  const auto short_run = quality::AssessNonIid(Bytes{0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0}, 1);
  EXPECT_FALSE(Find(short_run.original, "MultiMCW Prediction")->applicable);
  EXPECT_FALSE(Find(short_run.original, "Compression")->applicable);
  EXPECT_TRUE(Find(short_run.original, "Markov")->applicable);
  EXPECT_LE(short_run.h_assessed, 1.0);
  EXPECT_NO_THROW(quality::AssessNonIid({}, 8));
  EXPECT_THROW(quality::AssessNonIid(Bytes{1, 2}, 9), std::invalid_argument);
}

TEST(Assessment, ReadsSamplesThroughTheWidthAndNumbersTheValues) {
  const Bytes bits = Load(DataFile("rand1_short.bin"));
  const Bytes nibbles = Load(DataFile("rand4_short.bin"));
  const auto plain = quality::AssessNonIid(nibbles, 4);
  // Bits above the width are not part of a sample.
  Bytes noisy = nibbles;
  for (std::size_t i = 0; i < noisy.size(); ++i)
    noisy[i] = static_cast<std::uint8_t>(noisy[i] | (i * 37 % 16) << 4);
  const auto masked = quality::AssessNonIid(noisy, 4);
  EXPECT_EQ(masked.h_assessed, plain.h_assessed);
  EXPECT_EQ(masked.h_bitstring, plain.h_bitstring);

  // Two values are binary samples whatever the width: the same estimates as bits, no bit string.
  Bytes two_values = bits;
  for (auto& b : two_values) b = b != 0 ? 0xC3 : 0x14;
  const auto as_bits = quality::AssessNonIid(bits, 1), as_bytes = quality::AssessNonIid(two_values, 8);
  EXPECT_TRUE(as_bytes.bitstring.empty());
  EXPECT_TRUE(std::isnan(as_bytes.h_bitstring));
  ASSERT_EQ(as_bytes.original.size(), as_bits.original.size());
  for (std::size_t i = 0; i < as_bits.original.size(); ++i)
    EXPECT_EQ(as_bytes.original[i].min_entropy, as_bits.original[i].min_entropy) << as_bits.original[i].name;
  EXPECT_EQ(as_bytes.h_assessed, as_bits.h_assessed);

  // One thread or two, the same figures; progress is told once per group of estimators.
  std::vector<unsigned> told;
  quality::AssessOptions one;
  one.threads = 1;
  one.progress = [&](unsigned done, unsigned total) { told.push_back(done * 100 + total); };
  const auto alone = quality::AssessNonIid(nibbles, 4, one);
  EXPECT_EQ(told, (std::vector<unsigned>{112, 212, 312, 412, 512, 612, 712, 812, 912, 1012, 1112, 1212}));
  for (std::size_t i = 0; i < plain.bitstring.size(); ++i)
    EXPECT_EQ(alone.bitstring[i].min_entropy, plain.bitstring[i].min_entropy) << plain.bitstring[i].name;
  EXPECT_EQ(alone.h_assessed, plain.h_assessed);
}

TEST(Assessment, AClaimStandsUpToTheAssessedEntropy) {
  const auto r = quality::AssessNonIid(Load(DataFile("rand8_short.bin")), 8);
  const auto modest = quality::CheckInitialEntropy(r, 4.0);
  EXPECT_TRUE(modest.claim_supported);
  EXPECT_EQ(modest.h_initial, 4.0);
  const auto bold = quality::CheckInitialEntropy(r, 8.0);
  EXPECT_FALSE(bold.claim_supported);
  EXPECT_EQ(bold.h_initial, r.h_assessed);
  EXPECT_LT(r.h_assessed, 8.0);
}

}  // namespace
