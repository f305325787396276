// The FIPS 140-2 runs test at each edge of each interval: a block whose runs of one length are
// counted exactly at an edge passes, one run beyond it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "quality/fips.h"

namespace {

using Counts = std::array<int, 6>;  // runs of length 1 to 5, and of 6 or more

// FIPS 140-2's table: the counts a block of 20,000 bits may have, for zeros and ones alike.
struct Interval {
  int low, high;
};
constexpr Interval kIntervals[6] = {{2315, 2685}, {1114, 1386}, {527, 723},
                                    {240, 384},   {103, 209},   {103, 209}};

// A block whose runs are counted as `zeros` and `ones`, 10,000 bits of each value. It begins
// with a 0 and ends with a one-bit run of zeros; such a last run is counted among the runs of
// ones, so `ones` must have one run of length 1 more than `zeros`. Runs of six or more share
// the bits left over, none longer than 25 (the long run test's limit).
std::vector<std::uint8_t> BlockWithRuns(Counts zeros, Counts ones) {
  ++zeros[0];  // the last run, counted among the ones'
  --ones[0];
  std::vector<int> runs[2];
  for (int v = 0; v < 2; ++v) {
    const Counts& c = v == 0 ? zeros : ones;
    int bits = 10000;
    for (int k = 1; k <= 5; ++k) bits -= k * c[static_cast<std::size_t>(k - 1)];
    const int long_runs = c[5];
    for (int i = 0; i < long_runs; ++i) runs[v].push_back(bits / long_runs + (i < bits % long_runs ? 1 : 0));
    EXPECT_GE(bits / long_runs, 6) << "too few bits left for the runs of six or more";
    EXPECT_LE((bits + long_runs - 1) / long_runs, 25) << "too many bits left for the runs of six or more";
    for (int k = 5; k >= 1; --k)
      runs[v].insert(runs[v].end(), static_cast<std::size_t>(c[static_cast<std::size_t>(k - 1)]), k);
  }
  EXPECT_EQ(runs[0].size(), runs[1].size() + 1);
  std::vector<std::uint8_t> block(quality::kFipsBlock, 0);
  std::size_t at = 0;
  for (std::size_t i = 0; i < runs[0].size(); ++i) {
    at += static_cast<std::size_t>(runs[0][i]);  // zeros: nothing to set
    if (i < runs[1].size())
      for (int n = runs[1][i]; n-- > 0; ++at) block[at / 8] |= static_cast<std::uint8_t>(0x80u >> (at % 8));
  }
  EXPECT_EQ(at, 20000u);
  EXPECT_EQ(runs[0].back(), 1);
  return block;
}

TEST(FipsRuns, EachCountPassesAtTheEdgesOfItsIntervalAndFailsOneBeyond) {
  // Counts well inside every interval; the lean ones leave room for counts at an upper edge.
  constexpr Counts kMiddle = {2500, 1250, 625, 312, 156, 156}, kLean = {2330, 1130, 540, 250, 110, 110};
  for (std::size_t k = 0; k < 6; ++k) {
    const Interval edge = kIntervals[k];
    for (const int count : {edge.low - 1, edge.low, edge.high, edge.high + 1}) {
      const bool upper = count > edge.low;
      Counts zeros = upper ? kLean : kMiddle, ones = zeros;
      zeros[k] = ones[k] = count;
      // The ones have one run of length 1 more; when those are the runs at an upper edge, the
      // edge is the ones' count.
      if (k == 0 && upper) {
        --zeros[0];
      } else {
        ++ones[0];
      }
      const bool passes = count >= edge.low && count <= edge.high;
      SCOPED_TRACE("runs of " + std::string(k == 5 ? "six or more" : std::to_string(k + 1)) + " counted " +
                   std::to_string(count) + (passes ? ": passes" : ": fails"));
      std::array<std::uint64_t, 256> histogram{};
      const unsigned failures = quality::FipsBlockFailures(BlockWithRuns(zeros, ones).data(), histogram);
      EXPECT_EQ((failures >> quality::kRuns) & 1u, passes ? 0u : 1u);
      EXPECT_EQ(failures & ~(1u << quality::kRuns) & ~(1u << quality::kPoker), 0u)
          << "monobit and the long run test pass";
    }
  }
}

}  // namespace
