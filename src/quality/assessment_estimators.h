// The SP 800-90B 6.3 estimators one by one, for the assessment (assessment.cpp) and its tests.
// Every estimator takes samples as small integers: 0/1 where it says bits, else 0..k-1.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "quality/assessment.h"

namespace quality::estimators {

// The upper bound of the 99 % confidence interval used throughout (SP 800-90B 6.3: 2.576, here
// to the double's precision as the reference tool takes it).
inline constexpr double kZ = 2.5758293035489008;
inline constexpr long double kZLong = 2.575829303548900384158L;

Estimate NotApplicable(const char* name, const char* section, const char* reason);
// -log2(p), never -0.
inline double Bits(double p) {
  return -std::log2(p) + 0.0;
}

Estimate MostCommonValue(std::span<const std::uint8_t> samples);  // 6.3.1
Estimate Collision(std::span<const std::uint8_t> bits);           // 6.3.2
Estimate Markov(std::span<const std::uint8_t> bits);              // 6.3.3
Estimate Compression(std::span<const std::uint8_t> bits);         // 6.3.4
// 6.3.5 and 6.3.6 share one sorting of the suffixes: {t-tuple, LRS}.
std::pair<Estimate, Estimate> TupleEstimates(std::span<const std::uint8_t> samples);
Estimate MultiMcw(std::span<const std::uint8_t> samples, unsigned k);  // 6.3.7
Estimate Lag(std::span<const std::uint8_t> samples, unsigned k);       // 6.3.8
Estimate MultiMmc(std::span<const std::uint8_t> samples, unsigned k);  // 6.3.9
Estimate Lz78y(std::span<const std::uint8_t> samples, unsigned k);     // 6.3.10

// The predictors' common ending (SP 800-90B 6.3.7 steps 4 to 6 and alike): `correct` of
// `predictions` right, the longest run of right ones, alphabet size k.
Estimate FromPredictions(const char* name, const char* section, std::uint64_t correct,
                         std::uint64_t predictions, std::uint64_t longest_run, unsigned k);

// The p in [low, high] where a decreasing f(p) meets `target`, by halving the interval until f(p)
// equals the target to the double's precision or the interval cannot shrink further. The caller
// checks that the target lies within the range.
template <typename F>
double SolveDecreasing(F f, double target, double low, double high) {
  double p = (low + high) / 2;
  for (int step = 0; step < 1100; ++step) {  // enough to exhaust a double's exponent and mantissa
    const double value = f(p);
    if (std::abs(value - target) <= 0x1p-52 * std::max(std::abs(value), std::abs(target))) break;
    (value > target ? low : high) = p;
    const double next = (low + high) / 2;
    if (!(next > low && next < high)) return high;
    p = next;
  }
  return p;
}

// The longest common prefix of each pair of neighbours among the samples' suffixes in sorted
// order (n - 1 values for n samples).
std::vector<std::uint32_t> NeighbourPrefixes(std::span<const std::uint8_t> samples);

// The samples' values (each byte's low `bits` bits) numbered in increasing order, 0..distinct-1.
std::vector<std::uint8_t> NumberedSamples(std::span<const std::uint8_t> samples, unsigned bits,
                                          unsigned& distinct);

// The samples' low `bits` bits as a bit string, each sample most significant bit first (the values
// themselves, not their numbers).
std::vector<std::uint8_t> BitString(std::span<const std::uint8_t> samples, unsigned bits);

// The estimators for samples of k values (with those for bit strings when k is 2) on two sequences
// at once, as the restart tests run them on rows and columns.
std::pair<std::vector<Estimate>, std::vector<Estimate>> SampleEstimates(std::span<const std::uint8_t> first,
                                                                        std::span<const std::uint8_t> second,
                                                                        unsigned k,
                                                                        const AssessOptions& options);

}  // namespace quality::estimators
