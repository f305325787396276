// The IID track: the permutation statistics on short sequences worked out by hand, the verdicts on
// random and on dependent data, repeatability, the early stop, the tests of 5.2 on clear cases, and
// inputs too short or too plain to assess.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "quality/iid.h"
#include "quality/iid_internal.h"
#include "support/test_support.h"

namespace {

using quality::AssessIid;
using quality::IidOptions;
using quality::IidResult;
using Bytes = std::vector<std::uint8_t>;

// The permutation statistic of that name on the samples as given.
double Statistic(const IidResult& r, const char* name) {
  for (const quality::IidStatistic& s : r.permutation)
    if (std::strcmp(s.name, name) == 0) return s.value;
  ADD_FAILURE() << "no statistic " << name;
  return std::nan("");
}

// Only the statistics of the samples themselves, no shuffles.
IidResult Unshuffled(const Bytes& samples, unsigned bits) {
  IidOptions options;
  options.permutations = 0;
  return AssessIid(samples, bits, options);
}

Bytes Random(std::size_t n, unsigned bits, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes samples(n);
  for (std::uint8_t& s : samples) s = static_cast<std::uint8_t>(generator() & ((1u << bits) - 1));
  return samples;
}

TEST(IidStatistics, TheRunStatisticsOfAnIncreasingSequence) {
  const IidResult r = Unshuffled({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4);
  ASSERT_EQ(r.permutation.size(), 19u);
  // Nine steps, all up: one run of nine.
  EXPECT_EQ(Statistic(r, "numDirectionalRuns"), 1);
  EXPECT_EQ(Statistic(r, "lenDirectionalRuns"), 9);
  EXPECT_EQ(Statistic(r, "numIncreasesDecreases"), 9);
  // The median 4.5 splits it into 0..4 and 5..9.
  EXPECT_EQ(Statistic(r, "numRunsMedian"), 2);
  EXPECT_EQ(Statistic(r, "lenRunsMedian"), 5);
  // The running sum lags the mean 4.5 most after five samples: 10 against 22.5.
  EXPECT_DOUBLE_EQ(Statistic(r, "excursion"), 12.5);
  // No value repeats: no collision at all.
  EXPECT_EQ(Statistic(r, "avgCollision"), 0);
  EXPECT_EQ(Statistic(r, "maxCollision"), 0);
  EXPECT_EQ(Statistic(r, "periodicity(1)"), 0);
}

TEST(IidStatistics, ConstantRunsCountEqualNeighboursAsIncreases) {
  const IidResult r = Unshuffled({0, 0, 0, 0, 8, 8, 8, 8, 3}, 4);
  // 0 0 0 0 8 8 8 8 go up (or stay) seven times, then down once.
  EXPECT_EQ(Statistic(r, "numDirectionalRuns"), 2);
  EXPECT_EQ(Statistic(r, "lenDirectionalRuns"), 7);
  EXPECT_EQ(Statistic(r, "numIncreasesDecreases"), 7);
  // Mean 35/9: after the four zeros the running sum is 4 * 35/9 below it.
  EXPECT_NEAR(Statistic(r, "excursion"), 140.0 / 9, 1e-12);
  // Median 3 (odd count): 0000 below, 8888 3 at or above.
  EXPECT_EQ(Statistic(r, "numRunsMedian"), 2);
  EXPECT_EQ(Statistic(r, "lenRunsMedian"), 5);
  // Windows 0 0 | 0 0 | 8 8 | 8 8 and the tail 3.
  EXPECT_EQ(Statistic(r, "avgCollision"), 2);
  EXPECT_EQ(Statistic(r, "maxCollision"), 2);
  EXPECT_EQ(Statistic(r, "periodicity(1)"), 6);
  EXPECT_EQ(Statistic(r, "periodicity(8)"), 0);  // 0 against 3
}

TEST(IidStatistics, PeriodicityAndCovarianceOfAPeriodOfTwo) {
  const IidResult r = Unshuffled({1, 4, 1, 4, 1, 4, 1, 4, 7}, 3);
  EXPECT_EQ(Statistic(r, "periodicity(1)"), 0);
  EXPECT_EQ(Statistic(r, "periodicity(2)"), 6);  // all but the last 1 against 7
  EXPECT_EQ(Statistic(r, "periodicity(8)"), 0);
  EXPECT_EQ(Statistic(r, "periodicity(16)"), 0);  // the lag is beyond the data
  EXPECT_EQ(Statistic(r, "covariance(1)"), 56);   // seven times 1*4, then 4*7
  EXPECT_EQ(Statistic(r, "covariance(2)"), 58);   // 1 16 1 16 1 16, then 1*7
  EXPECT_EQ(Statistic(r, "covariance(32)"), 0);
  // Windows 1 4 1 | 4 1 4 | and the tail 1 4 7.
  EXPECT_EQ(Statistic(r, "avgCollision"), 3);
  EXPECT_EQ(Statistic(r, "maxCollision"), 3);
}

TEST(IidStatistics, PeriodicityAndCovarianceAtTheLongestLag) {
  // 0..31 and then 0..7 again: only the lag of 32 finds equal pairs, eight of them.
  Bytes samples;
  for (std::uint8_t i = 0; i < 40; ++i) samples.push_back(static_cast<std::uint8_t>(i % 32));
  const IidResult r = Unshuffled(samples, 5);
  EXPECT_EQ(Statistic(r, "periodicity(16)"), 0);
  EXPECT_EQ(Statistic(r, "periodicity(32)"), 8);
  EXPECT_EQ(Statistic(r, "covariance(32)"), 140);  // 0*0 + 1*1 + ... + 7*7
}

TEST(IidStatistics, BinaryDataIsReadInBlocksOfEightBits) {
  // Blocks 11111111 00000001 11111111 and a short last one 1010: ones 8 1 8 2, bytes 255 1 255 160.
  Bytes bits(8, 1);
  bits.insert(bits.end(), {0, 0, 0, 0, 0, 0, 0, 1});
  bits.insert(bits.end(), 8, 1);
  bits.insert(bits.end(), {1, 0, 1, 0});
  ASSERT_EQ(bits.size(), 28u);
  const IidResult r = Unshuffled(bits, 1);
  EXPECT_EQ(r.distinct, 2u);
  // On the ones per block: down, up, down.
  EXPECT_EQ(Statistic(r, "numDirectionalRuns"), 3);
  EXPECT_EQ(Statistic(r, "lenDirectionalRuns"), 1);
  EXPECT_EQ(Statistic(r, "numIncreasesDecreases"), 2);
  EXPECT_EQ(Statistic(r, "periodicity(1)"), 0);
  EXPECT_EQ(Statistic(r, "periodicity(2)"), 1);
  EXPECT_EQ(Statistic(r, "covariance(1)"), 32);
  EXPECT_EQ(Statistic(r, "covariance(2)"), 66);
  // On the blocks as bytes: 255 1 255 collide, 160 is left over.
  EXPECT_EQ(Statistic(r, "avgCollision"), 3);
  EXPECT_EQ(Statistic(r, "maxCollision"), 3);
  // On the bits themselves, split at 0.5: runs of 8, 7, 10, 1, 1, 1.
  EXPECT_EQ(Statistic(r, "numRunsMedian"), 6);
  EXPECT_EQ(Statistic(r, "lenRunsMedian"), 10);
}

TEST(IidStatistics, CompressionIsTheBzip2LengthOfTheValuesAsDecimalText) {
  // The text "0 37 74 111 ..." (no space at the end) of 300 values is 372 bytes under bzip2 -5,
  // with a space at the end 371.
  Bytes samples(300);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>(i * 37 % 256);
  const IidResult r = Unshuffled(samples, 8);
  const quality::IidStatistic& compression = r.permutation.back();
  ASSERT_STREQ(compression.name, "compression");
  if (!compression.available) {
    // Reported, not passed, and the permutation test said to be incomplete.
    EXPECT_FALSE(compression.passed);
    EXPECT_FALSE(r.permutation_complete);
    GTEST_SKIP() << "built without bzip2";
  }
  EXPECT_EQ(compression.value, 372);
  EXPECT_TRUE(r.permutation_complete);
}

TEST(IidVerdict, ShuffledRandomDataPassesAfterAnEarlyStop) {
  // 4-bit samples: enough pairs to fill the independence test's 256 cells, which the 65,536 of
  // 8-bit samples would need a million samples for.
  for (const unsigned bits : {4u, 1u}) {
    SCOPED_TRACE(bits);
    const IidResult r = AssessIid(Random(4000, bits, 5), bits);
    EXPECT_TRUE(r.iid) << r.deciding;
    EXPECT_STREQ(r.deciding, "");
    EXPECT_TRUE(r.permutation_passed);
    EXPECT_TRUE(r.independence.passed) << r.independence.p_value;
    EXPECT_TRUE(r.goodness_of_fit.passed) << r.goodness_of_fit.p_value;
    EXPECT_TRUE(r.longest_repeat.passed) << r.longest_repeat.probability;
    // Stopped once the last statistic was decided, which was compared on every shuffle run.
    EXPECT_LT(r.permutations_run, 10000u);
    std::uint32_t longest = 0;
    for (const quality::IidStatistic& s : r.permutation) {
      EXPECT_TRUE(s.passed || !s.available) << s.name;
      longest = std::max(longest, s.greater + s.equal + s.less);
    }
    EXPECT_EQ(longest, r.permutations_run);
    EXPECT_GT(r.h_mcv, 0.8 * bits);
    EXPECT_LE(r.h_mcv, bits);
  }
}

TEST(IidVerdict, DependentDataFailsWithTheDecidingStatisticNamed) {
  IidOptions options;
  options.permutations = 100;  // enough to reject; the standard's 10,000 would all run
  // A slow ramp: the running sum strays far from the mean, which no shuffle repeats.
  Bytes ramp(1000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i / 10);
  const IidResult slow = AssessIid(ramp, 8, options);
  EXPECT_FALSE(slow.iid);
  EXPECT_STREQ(slow.deciding, "excursion");
  EXPECT_EQ(slow.permutations_run, 100u);
  EXPECT_EQ(slow.permutation[0].greater + slow.permutation[0].equal, 0u);

  // A period of 8 random values: its excursion and runs look random, its periodicity(8) does not.
  Bytes period = Random(8, 8, 3);
  while (period.size() < 1000) period.push_back(period[period.size() - 8]);
  const IidResult periodic = AssessIid(period, 8, options);
  EXPECT_FALSE(periodic.iid);
  EXPECT_FALSE(periodic.permutation[10].passed) << periodic.permutation[10].name;
  EXPECT_STRNE(periodic.deciding, "");
  EXPECT_FALSE(periodic.longest_repeat.passed) << periodic.longest_repeat.w;
}

TEST(IidVerdict, ARunRepeatsExactlyForASeedWhateverTheThreads) {
  const Bytes samples = Random(3000, 4, 9);
  std::vector<IidResult> runs;
  std::vector<std::uint32_t> told;
  for (const unsigned threads : {1u, 3u, 1u}) {
    told.clear();
    IidOptions options;
    options.threads = threads;
    options.seed = 42;
    options.progress = [&](std::uint32_t done, std::uint32_t total) {
      EXPECT_EQ(total, 10000u);
      told.push_back(done);
    };
    runs.push_back(AssessIid(samples, 4, options));
    ASSERT_FALSE(told.empty());
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_EQ(told.back(), runs.back().permutations_run);
  }
  for (std::size_t k = 1; k < runs.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(runs[k].permutations_run, runs[0].permutations_run);
    for (std::size_t j = 0; j < runs[0].permutation.size(); ++j) {
      const quality::IidStatistic &a = runs[0].permutation[j], &b = runs[k].permutation[j];
      EXPECT_EQ(b.greater, a.greater) << a.name;
      EXPECT_EQ(b.equal, a.equal) << a.name;
      EXPECT_EQ(b.less, a.less) << a.name;
    }
  }
  // Another seed draws other shuffles.
  IidOptions other;
  other.seed = 43;
  const IidResult r = AssessIid(samples, 4, other);
  bool differs = r.permutations_run != runs[0].permutations_run;
  for (std::size_t j = 0; j < r.permutation.size(); ++j)
    differs = differs || r.permutation[j].greater != runs[0].permutation[j].greater;
  EXPECT_TRUE(differs);
}

TEST(IidTests, ChiSquareVerdictsOnClearCases) {
  using quality::iid::GoodnessOfFit;
  using quality::iid::Independence;
  const Bytes fair = Random(4000, 4, 1);
  EXPECT_TRUE(Independence(fair, 16).passed) << Independence(fair, 16).p_value;
  EXPECT_TRUE(GoodnessOfFit(fair, 16).passed) << GoodnessOfFit(fair, 16).p_value;
  // Each of the 256 pairs is expected about 8 times in 2000 pairs, each value 25 times in a tenth:
  // no bins merge, and the 15 frequencies estimated take their degrees of freedom.
  EXPECT_EQ(Independence(fair, 16).degrees_of_freedom, 256 - 16);
  EXPECT_EQ(GoodnessOfFit(fair, 16).degrees_of_freedom, 9 * 15);
  // Each value twice: every pair is a pair of equal values.
  Bytes doubled;
  for (std::size_t i = 0; i < 2000; ++i) doubled.insert(doubled.end(), 2, fair[i]);
  const quality::IidChiSquare pairs = Independence(doubled, 16);
  EXPECT_FALSE(pairs.passed) << pairs.p_value;
  EXPECT_GT(pairs.degrees_of_freedom, 0);
  // The first half draws from 0..7, the second from 8..15.
  Bytes drifting = fair;
  for (std::size_t i = 0; i < drifting.size(); ++i)
    drifting[i] = static_cast<std::uint8_t>((drifting[i] & 7) | (i < 2000 ? 0 : 8));
  const quality::IidChiSquare fit = GoodnessOfFit(drifting, 16);
  EXPECT_FALSE(fit.passed) << fit.p_value;

  // Binary: fair bits pass, each bit twice fails the independence test, a drift in the share of
  // ones fails the fit.
  const Bytes coin = Random(4000, 1, 2);
  EXPECT_TRUE(Independence(coin, 2).passed) << Independence(coin, 2).p_value;
  EXPECT_TRUE(GoodnessOfFit(coin, 2).passed) << GoodnessOfFit(coin, 2).p_value;
  // 666 tuples of 6 bits expect each value 10 times, 571 of 7 bits fewer than 5.
  EXPECT_EQ(Independence(coin, 2).degrees_of_freedom, 64 - 2);
  EXPECT_EQ(GoodnessOfFit(coin, 2).degrees_of_freedom, 9);
  Bytes stutter;
  for (std::size_t i = 0; i < 2000; ++i) stutter.insert(stutter.end(), 2, coin[i]);
  EXPECT_FALSE(Independence(stutter, 2).passed) << Independence(stutter, 2).p_value;
  Bytes biased = coin;
  for (std::size_t i = 0; i < biased.size(); ++i)
    biased[i] = i < 2000 ? coin[i] & coin[i + 1] : coin[i] | coin[i - 1];
  EXPECT_FALSE(GoodnessOfFit(biased, 2).passed) << GoodnessOfFit(biased, 2).p_value;
}

TEST(IidTests, LongestRepeatedSubstringVerdicts) {
  const Bytes fair = Random(2000, 8, 4);
  const quality::IidLongestRepeat random = quality::iid::LongestRepeat(fair, 256);
  EXPECT_TRUE(random.passed) << random.w << " " << random.probability;
  EXPECT_LT(random.w, 5u);
  // The same 1000 samples twice: a repeat of 1000.
  Bytes twice(fair.begin(), fair.begin() + 1000);
  twice.insert(twice.end(), fair.begin(), fair.begin() + 1000);
  const quality::IidLongestRepeat repeated = quality::iid::LongestRepeat(twice, 256);
  EXPECT_EQ(repeated.w, 1000u);
  EXPECT_FALSE(repeated.passed) << repeated.probability;
}

TEST(IidVerdict, TheMostCommonValueFiguresAreTheReferenceToolsOnItsSampleFile) {
  // ea_non_iid's most-common-value lines for rand8_short.bin; the IID track takes the smaller of
  // the samples' figure and 8 times the bit string's.
  const std::string text =
      testing_support::ReadFile(RNGACQ_SOURCE_DIR "/tests/data/sp800-90b/rand8_short.bin");
  const IidResult r = Unshuffled(Bytes(text.begin(), text.end()), 8);
  EXPECT_EQ(r.samples, 10000u);
  EXPECT_DOUBLE_EQ(r.h_original, 7.0104540377360411);
  EXPECT_DOUBLE_EQ(r.h_bitstring, 0.98338678465915019);
  EXPECT_DOUBLE_EQ(r.h_mcv, 7.0104540377360411);
}

TEST(IidVerdict, ShortAndDegenerateInputsHaveDefinedResults) {
  for (const Bytes& plain : {Bytes{}, Bytes{7}, Bytes(1000, 0x5A)}) {
    SCOPED_TRACE(plain.size());
    const IidResult r = AssessIid(plain, 8);
    EXPECT_EQ(r.samples, plain.size());
    EXPECT_FALSE(r.iid);
    EXPECT_STRNE(r.deciding, "");
    EXPECT_TRUE(r.permutation.empty());
    EXPECT_EQ(r.permutations_run, 0u);
    EXPECT_EQ(r.h_mcv, 0);
  }
  // Values that differ only above the width are one value.
  EXPECT_EQ(AssessIid(Bytes{0x01, 0x11, 0x21}, 4).distinct, 1u);
  // Two, three and nine samples: every statistic and test defined, nothing rejected for want of
  // degrees of freedom.
  IidOptions options;
  options.permutations = 50;
  for (const Bytes& tiny : {Bytes{0, 1}, Bytes{2, 0, 1}, Bytes{0, 1, 0, 1, 1, 0, 0, 0, 1}}) {
    SCOPED_TRACE(tiny.size());
    const IidResult r = AssessIid(tiny, 2, options);
    ASSERT_EQ(r.permutation.size(), 19u);
    for (const quality::IidStatistic& s : r.permutation)
      EXPECT_TRUE(std::isfinite(s.value) || !s.available) << s.name;
    EXPECT_TRUE(r.independence.passed);
    EXPECT_TRUE(r.goodness_of_fit.passed);
    EXPECT_TRUE(std::isfinite(r.h_mcv));
  }
  EXPECT_THROW(AssessIid(Bytes{1, 2}, 0), std::invalid_argument);
  EXPECT_THROW(AssessIid(Bytes{1, 2}, 9), std::invalid_argument);
}

}  // namespace
