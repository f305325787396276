// The restart tests: the sanity check's bound on the largest count, and the verdicts on restart
// matrices a source that restarts well and one that restarts to the same state give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "quality/restart.h"

namespace {

using quality::LargestCountProbability;

TEST(RestartSanity, TheLargestCountsChanceIsExactWhereItCanBeCounted) {
  // Two fair coins: both differ half the time.
  EXPECT_DOUBLE_EQ(LargestCountProbability(1, 2, 2, 1), 0.5);
  // Three samples over three equally likely values, all different: 3! of 27 orders.
  EXPECT_NEAR(LargestCountProbability(1, 3, 3, std::log2(3.0)), 6.0 / 27, 1e-12);
  // A claim of one bit over three values: two values of probability 1/2, the third never drawn.
  EXPECT_DOUBLE_EQ(LargestCountProbability(1, 2, 3, 1), 0.5);
  // The edges: a count of n always holds, a count too small for n samples never.
  EXPECT_EQ(LargestCountProbability(1000, 1000, 256, 8), 1.0);
  EXPECT_EQ(LargestCountProbability(3, 1000, 256, 8), 0.0);
}

TEST(RestartSanity, TheLargestCountsChanceAgreesWithDrawingTheWorstCase) {
  // 16 values under a claim of 3.9 bits: 14 values of probability 2^-3.9, two share the rest.
  const double p = std::exp2(-3.9);
  const double rest = (1 - 14 * p) / 2;
  std::mt19937_64 generator(7);
  std::discrete_distribution<int> value({p, p, p, p, p, p, p, p, p, p, p, p, p, p, rest, rest});
  constexpr int kRounds = 20000;
  constexpr unsigned kCount = 85;
  int within = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<unsigned> counts(16);
    for (int i = 0; i < 1000; ++i) ++counts[static_cast<std::size_t>(value(generator))];
    within += *std::max_element(counts.begin(), counts.end()) <= kCount;
  }
  EXPECT_NEAR(LargestCountProbability(kCount, 1000, 16, 3.9), within / double{kRounds}, 0.01);
}

// `rows` restarts of random samples, or (`same_state`) each restart giving the same samples.
std::vector<std::uint8_t> Matrix(std::size_t rows, bool same_state) {
  std::vector<std::uint8_t> matrix;
  std::mt19937 generator(11);
  for (std::size_t row = 0; row < rows; ++row) {
    if (same_state) generator.seed(11);
    for (std::size_t column = 0; column < quality::kRestartColumns; ++column)
      matrix.push_back(static_cast<std::uint8_t>(generator()));
  }
  return matrix;
}

TEST(RestartTests, ASourceThatRestartsWellIsValidatedAtItsClaim) {
  const quality::RestartResult r = quality::AssessRestarts(Matrix(20, false), 8, 7);
  EXPECT_EQ(r.rows, 20u);
  EXPECT_EQ(r.distinct, 256u);
  EXPECT_TRUE(r.sanity_passed) << "largest counts " << r.largest_row << " / " << r.largest_column
                               << ", cut-off " << r.cutoff;
  EXPECT_EQ(r.estimates.size(), 7u) << "the samples' estimators, no bit-string ones";
  EXPECT_TRUE(r.validated) << "H_r " << r.h_rows << ", H_c " << r.h_columns;
  EXPECT_LE(r.h_min, 7.0);
  EXPECT_GT(r.h_min, 3.5);
}

TEST(RestartTests, ASourceThatRestartsToTheSameStateFailsTheSanityCheck) {
  const quality::RestartResult r = quality::AssessRestarts(Matrix(20, true), 8, 7);
  EXPECT_FALSE(r.sanity_passed);
  EXPECT_EQ(r.largest_column, 20u) << "each column holds one value";
  EXPECT_FALSE(r.validated);
  EXPECT_TRUE(r.estimates.empty());
}

TEST(RestartTests, OnlyWholeRowsOfAThousandSamplesMakeAMatrix) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1000}, std::size_t{2500}}) {
    SCOPED_TRACE(size);
    const quality::RestartResult r = quality::AssessRestarts(std::vector<std::uint8_t>(size, 1), 8, 1);
    EXPECT_EQ(r.rows, 0u);
    EXPECT_FALSE(r.validated);
  }
}

}  // namespace
