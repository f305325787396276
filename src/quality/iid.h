// The IID track of NIST SP 800-90B: the permutation test (5.1), the chi-square tests (5.2.1,
// 5.2.2) and the longest-repeated-substring test (5.2.3), decided and converted for binary data as
// NIST's reference tool (ea_iid) does, and the most-common-value estimate (6.3.1) that the track
// credits to data found IID. Pure computation. One million 8-bit samples of random data take
// 3 to 5 s of processor time and 30 MB, four fifths of the time in the dozen or so bzip2 runs the
// compression statistic needs before its counts decide it; the permutation test stops early, as
// the reference tool's does, after about 300 shuffles.
//
// Samples: each byte's low `bits` bits is one sample; bits above the width are masked off. The
// values that occur are numbered in increasing order (k distinct values become 0..k-1), which
// changes no statistic: the statistics that use the values themselves (excursion, covariance of
// non-binary data, compression) take them from the samples, the others only compare them. With
// exactly two distinct values the data is binary: the directional runs, periodicity and covariance
// statistics then run on the count of ones in each block of 8 bits, the collision statistics on
// each block read as a byte, and the runs based on the median split the bits at 0.5 (SP 800-90B
// 5.1); a last block of fewer than 8 bits counts as a block.
//
// Short and degenerate inputs: fewer than two distinct values (no samples, one sample, constant
// data) run no test; the result then has no statistics, `iid` is false, `deciding` says why and
// every entropy figure is 0. Otherwise every statistic is defined however short the data: a lag
// beyond the data gives periodicity and covariance 0, no collision gives both collision statistics
// 0, a run statistic over no comparisons is 0. A chi-square test whose bins leave no degree of
// freedom cannot reject: its statistic is 0 and its p-value 1. As in ea_iid, the independence test
// merges the k * k cells of pairs into bins expected 5 times but takes k - 1 degrees of freedom off
// however many bins remain: short data of many values (8-bit samples well below a million) fails it.
//
// Compression (5.1.11) needs bzip2. A build without it (the Windows cross build) reports that one
// statistic as not available: it is then not passed, takes no part in the verdict, and
// `permutation_complete` is false.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quality {

// One statistic of the permutation test, with the counts of SP 800-90B 5.1 over the shuffles it
// was compared on: C0 (greater) and C1 (equal); `less` is the rest. A statistic is decided as
// passing, and no longer computed, once C0 + C1 > 5 and C1 + less > 5; one never decided was
// compared on every shuffle and is rejected (C0 + C1 <= 5, or C0 >= permutations - 5).
struct IidStatistic {
  const char* name = "";  // "excursion", "numDirectionalRuns", ..., "compression" as ea_iid names them
  double value = 0;       // on the samples as given
  std::uint32_t greater = 0;
  std::uint32_t equal = 0;
  std::uint32_t less = 0;
  bool available = true;
  bool passed = false;
};

struct IidChiSquare {
  const char* name = "";  // "chi-square independence", "chi-square goodness of fit"
  double statistic = 0;
  int degrees_of_freedom = 0;  // 0 or less: nothing to test, p-value 1
  double p_value = 1;
  bool passed = true;  // p-value >= 0.001
};

struct IidLongestRepeat {
  std::uint64_t w = 0;     // length of the longest repeated substring
  double p_col = 0;        // probability that two samples collide, from the sample frequencies
  double probability = 1;  // Pr(X >= 1): of at least one repeat of length W among all pairs
  bool passed = true;      // Pr(X >= 1) >= 0.001
};

struct IidResult {
  unsigned bits = 0;
  std::uint64_t samples = 0;
  unsigned distinct = 0;
  std::vector<IidStatistic> permutation;  // the 19 statistics of 5.1.1 to 5.1.11, in that order
  std::uint32_t permutations_run = 0;     // fewer than asked when every statistic was decided early
  bool permutation_complete = true;       // false when a statistic was not available
  bool permutation_passed = false;
  IidChiSquare independence;        // 5.2.1
  IidChiSquare goodness_of_fit;     // 5.2.2
  IidLongestRepeat longest_repeat;  // 5.2.3
  bool iid = false;                 // every available statistic and test passed
  const char* deciding = "";        // the first statistic or test (in section order) that rejected IID
  // The most-common-value estimate on the samples (bits per sample) and, with more than two
  // distinct values, on the bit string of the samples (bits per bit; NaN otherwise). h_mcv is the
  // track's figure, min(bits, h_original, bits * h_bitstring) as ea_iid reports it; it stands as
  // the entropy of the source only when `iid` is true.
  double h_original = 0;
  double h_bitstring = 0;
  double h_mcv = 0;
};

struct IidOptions {
  // Shuffles run side by side on this many threads (1: the caller's only). The result does not
  // depend on it: shuffle i draws from a generator seeded from (seed, i), and the counts take the
  // shuffles in order.
  unsigned threads = 2;
  std::uint64_t seed = 1;
  std::uint32_t permutations = 10000;  // SP 800-90B's number; fewer only for tests
  // Told after each group of shuffles how many of `total` have been counted; called from the
  // caller's thread.
  std::function<void(std::uint32_t done, std::uint32_t total)> progress;
};

// `bits` must be 1..8, and there may be at most 2^30 samples (std::invalid_argument otherwise).
IidResult AssessIid(std::span<const std::uint8_t> samples, unsigned bits, const IidOptions& options = {});

}  // namespace quality
