// SP 800-90B 6.3.1 to 6.3.4 (most common value, collision, Markov, compression) and the bound the
// four predictors share.
#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>

#include "quality/assessment_estimators.h"

namespace quality::estimators {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Estimate Applicable(const char* name, const char* section) {
  Estimate e;
  e.name = name;
  e.section = section;
  e.applicable = true;
  return e;
}

double Count(std::uint64_t n) {
  return static_cast<double>(n);
}

}  // namespace

Estimate NotApplicable(const char* name, const char* section, const char* reason) {
  Estimate e;
  e.name = name;
  e.section = section;
  e.reason = reason;
  e.min_entropy = kNaN;
  return e;
}

Estimate MostCommonValue(std::span<const std::uint8_t> samples) {
  constexpr const char* kName = "Most Common Value";
  if (samples.size() < 2) return NotApplicable(kName, "6.3.1", "needs at least 2 samples");
  std::array<std::uint64_t, 256> counts{};
  for (const std::uint8_t s : samples) ++counts[s];
  const std::uint64_t mode = *std::max_element(counts.begin(), counts.end());
  const double n = Count(samples.size());
  const double p_hat = Count(mode) / n;
  const double p_u = std::min(1.0, p_hat + kZ * std::sqrt(p_hat * (1.0 - p_hat) / (n - 1.0)));
  Estimate e = Applicable(kName, "6.3.1");
  e.min_entropy = Bits(p_u);
  e.figures = {{"Mode count", Count(mode)}, {"p-hat", p_hat}, {"p_u", p_u}};
  return e;
}

Estimate Collision(std::span<const std::uint8_t> bits) {
  // Walk the string in steps of 2 (a pair of equal bits) or 3 (the third bit always collides with
  // one of the first two), counting the steps v and their sum and sum of squares.
  constexpr const char* kName = "Collision";
  std::uint64_t v = 0, at = 0, squares = 0;
  const std::size_t n = bits.size();
  while (at + 1 < n) {
    std::uint64_t step = 2;
    if (bits[at] != bits[at + 1]) {
      if (at + 2 >= n) break;
      step = 3;
    }
    ++v;
    squares += step * step;
    at += step;
  }
  if (v < 2) return NotApplicable(kName, "6.3.2", "needs at least 2 collisions");
  const double mean = Count(at) / Count(v);
  const double sigma = std::sqrt((Count(squares) - Count(at) * mean) / (Count(v) - 1.0));
  // The expected wait reduces to 2 + 2p - 2p^2 for p >= 1/2 (after the simpler F of SP 800-90B
  // errata), so the bound is solved for p directly; from a mean of 2.5 on, p = 1/2.
  const double bound = std::max(2.0, mean - kZ * sigma / std::sqrt(Count(v)));
  Estimate e = Applicable(kName, "6.3.2");
  const double p = bound < 2.5 ? 0.5 + std::sqrt(1.25 - 0.5 * bound) : 0.5;
  e.min_entropy = bound < 2.5 ? Bits(p) : 1.0;
  e.figures = {{"v", Count(v)},      {"Sum t_i", Count(at)}, {"X-bar", mean},
               {"sigma-hat", sigma}, {"X-bar'", bound},      {"p", p}};
  return e;
}

Estimate Markov(std::span<const std::uint8_t> bits) {
  constexpr const char* kName = "Markov";
  const std::size_t n = bits.size();
  if (n < 2) return NotApplicable(kName, "6.3.3", "needs at least 2 bits");
  std::uint64_t zeros = 0, zero_zero = 0, one_zero = 0;  // over the first n - 1 bits
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (bits[i] == 0) {
      ++zeros;
      zero_zero += bits[i + 1] == 0;
    } else {
      one_zero += bits[i + 1] == 0;
    }
  }
  const std::uint64_t ones = n - 1 - zeros;
  const double p00 = zeros > 0 ? Count(zero_zero) / Count(zeros) : 0.0;
  const double p01 = zeros > 0 ? 1.0 - p00 : 0.0;
  const double p10 = ones > 0 ? Count(one_zero) / Count(ones) : 0.0;
  const double p11 = ones > 0 ? 1.0 - p10 : 0.0;
  const double p0 = Count(zeros + (bits[n - 1] == 0)) / Count(n), p1 = 1.0 - p0;

  // The likeliest 128-bit sequence is one of six: constant, alternating, or one change at the
  // start; a transition of probability 0 rules its sequences out.
  double h = 128.0;  // -log2 of the likeliest sequence's probability
  const auto consider = [&h](bool possible, double bits_needed) {
    if (possible) h = std::min(h, bits_needed);
  };
  consider(p00 > 0, -std::log2(p0) - 127 * std::log2(p00));
  consider(p01 > 0 && p10 > 0, -std::log2(p0) - 64 * std::log2(p01) - 63 * std::log2(p10));
  consider(p01 > 0 && p11 > 0, -std::log2(p0) - std::log2(p01) - 126 * std::log2(p11));
  consider(p10 > 0 && p00 > 0, -std::log2(p1) - std::log2(p10) - 126 * std::log2(p00));
  consider(p10 > 0 && p01 > 0, -std::log2(p1) - 64 * std::log2(p10) - 63 * std::log2(p01));
  consider(p11 > 0, -std::log2(p1) - 127 * std::log2(p11));
  Estimate e = Applicable(kName, "6.3.3");
  e.min_entropy = std::min(h / 128.0, 1.0) + 0.0;
  e.figures = {{"P_0", p0},
               {"P_1", p1},
               {"P_{0,0}", p00},
               {"P_{0,1}", p01},
               {"P_{1,0}", p10},
               {"P_{1,1}", p11},
               {"p-hat_max", std::exp2(-h)}};
  return e;
}

namespace {

// Compression (6.3.4): 6-bit blocks, the first 1000 of them a dictionary for the rest.
constexpr unsigned kBlockBits = 6, kDictionaryBlocks = 1000;
constexpr unsigned kBlockValues = 1u << kBlockBits;

// log2 of 1, 2, ... as far as asked, kept between the evaluations of one search.
class Log2Table {
 public:
  long double operator()(std::uint64_t u) {
    while (values_.size() <= u) values_.push_back(std::log2(static_cast<long double>(values_.size())));
    return values_[u];
  }

 private:
  std::vector<long double> values_{0.0L};  // log2(0) is never asked for
};

// G(z) of 6.3.4 step 9 for d dictionary blocks and L blocks in all. With a_u = log2(u)(1-z)^(u-1)
// and A_t the sum of a_u below t, the double sum over t = d+1..L is z^2 times the sum of the A_t
// plus z times the sum of the a_t, and the A_t are summed as (L-d) A_(d+1) + sum (L-u) a_u.
long double G(double z, std::uint64_t d, std::uint64_t blocks, Log2Table& log2) {
  const long double y = 1.0L - z;
  long double power = y;  // (1 - z)^(u - 1), from u = 2 (a_1 is 0)
  long double prefix = 0;
  for (std::uint64_t u = 2; u <= d; ++u, power *= y) prefix += log2(u) * power;
  const long double prefix_d = prefix;
  long double weighted = 0;
  bool vanished = false;
  for (std::uint64_t u = d + 1; u < blocks; ++u, power *= y) {
    const long double a = log2(u) * power;
    prefix += a;
    const long double term = static_cast<long double>(blocks - u) * a;
    if (!(static_cast<double>(term) > 0)) {  // the rest underflows a double: stop there
      vanished = true;
      break;
    }
    weighted += term;
  }
  weighted += static_cast<long double>(blocks - d) * prefix_d;
  if (!vanished) prefix += log2(blocks) * power;
  return z * (z * weighted + (prefix - prefix_d)) / static_cast<long double>(blocks - d);
}

}  // namespace

Estimate Compression(std::span<const std::uint8_t> bits) {
  constexpr const char* kName = "Compression";
  const std::uint64_t blocks = bits.size() / kBlockBits;
  if (blocks <= kDictionaryBlocks) return NotApplicable(kName, "6.3.4", "needs more than 1000 6-bit blocks");
  const auto block = [&bits](std::uint64_t i) {
    unsigned value = 0;
    for (unsigned j = 0; j < kBlockBits; ++j) value = value << 1 | (bits[i * kBlockBits + j] & 1u);
    return value;
  };
  std::array<std::uint64_t, kBlockValues> last{};  // 1-based index of each value's last block
  for (std::uint64_t i = 0; i < kDictionaryBlocks; ++i) last[block(i)] = i + 1;
  long double sum = 0, sum_squares = 0;
  for (std::uint64_t i = kDictionaryBlocks; i < blocks; ++i) {
    const unsigned b = block(i);
    const double distance = std::log2(static_cast<double>(i + 1 - last[b]));
    sum += distance;
    sum_squares += static_cast<long double>(distance) * distance;
    last[b] = i + 1;
  }
  const double v = Count(blocks - kDictionaryBlocks);
  const double mean = static_cast<double>(sum / v);
  const double sigma = 0.5907 * std::sqrt(static_cast<double>(sum_squares / (v - 1.0)) - mean * mean);
  const double bound = mean - kZ * sigma / std::sqrt(v);

  Log2Table log2;
  const auto expected = [&](double p) {
    const double q = (1.0 - p) / (kBlockValues - 1.0);
    return static_cast<double>(G(p, kDictionaryBlocks, blocks, log2) +
                               (kBlockValues - 1.0L) * G(q, kDictionaryBlocks, blocks, log2));
  };
  constexpr double kUniform = 1.0 / kBlockValues;
  double p = kUniform;
  // The expected value falls as p grows; a bound above its value for uniform blocks means no p.
  if (expected(kUniform) > bound) p = SolveDecreasing(expected, bound, kUniform, 1.0);
  Estimate e = Applicable(kName, "6.3.4");
  e.min_entropy = p > kUniform ? Bits(p) / kBlockBits : 1.0;
  e.figures = {{"X-bar", mean}, {"sigma-hat", sigma}, {"X-bar'", bound}, {"p", std::max(p, kUniform)}};
  return e;
}

namespace {

// ln of the probability that N predictions of success probability p hold no run of r successes
// (SP 800-90B 6.3.7 step 5), x being the fixed point of 1 + q p^r x^(r+1) found from 1 upwards.
long double LogNoRun(long double p, long double r, long double n) {
  const long double q = 1.0L - p;
  long double x = 1.0L;
  for (int i = 0; i <= 65; ++i) {
    const long double before = x;
    x = 1.0L + q * std::pow(p, r) * std::pow(x, r + 1.0L);
    if (!(x - before > LDBL_EPSILON * x)) break;
  }
  return std::log(1.0L - p * x) - std::log((r + 1.0L - r * x) * q) - (n + 1.0L) * std::log(x);
}

}  // namespace

Estimate FromPredictions(const char* name, const char* section, std::uint64_t correct,
                         std::uint64_t predictions, std::uint64_t longest_run, unsigned k) {
  if (predictions < 2) return NotApplicable(name, section, "needs at least 2 predictions");
  const double n = Count(predictions);
  const double p_global = Count(correct) / n;
  const double p_global_upper =
      correct > 0 ? std::min(1.0, p_global + kZ * std::sqrt(p_global * (1.0 - p_global) / (n - 1.0)))
                  : 1.0 - std::pow(0.01, 1.0 / n);
  const long double r = static_cast<long double>(longest_run) + 1.0L;
  const double log_alpha = std::log(0.99);
  const auto log_no_run = [&](double p) { return static_cast<double>(LogNoRun(p, r, n)); };
  double p = std::max(1.0 / k, p_global_upper);
  double p_local = kNaN;
  // The local bound counts only when a run as long as the longest seen would be unlikely at p.
  if (p < 1.0 && log_no_run(p) > log_alpha) {
    p_local = SolveDecreasing(log_no_run, log_alpha, p, 1.0);
    p = std::max(p, p_local);
  }
  Estimate e = Applicable(name, section);
  e.min_entropy = Bits(p);
  e.figures = {{"C", Count(correct)},
               {"r", Count(longest_run + 1)},
               {"N", n},
               {"P_global", p_global},
               {"P_global'", p_global_upper}};
  if (!std::isnan(p_local)) e.figures.push_back({"P_local", p_local});
  return e;
}

}  // namespace quality::estimators
