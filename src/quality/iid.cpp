// The IID assessment: the permutation test of SP 800-90B 5.1 over shuffles run side by side, the
// tests of 5.2, and the verdict.
//
// A shuffle computes only the statistics still undecided, each family in one pass over the data;
// compression, by far the dearest, is therefore run only until its counts decide it (a dozen
// shuffles for random data).
#include "quality/iid.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifdef RNGACQ_HAVE_BZIP2
#include <bzlib.h>
#endif

#include "quality/assessment_estimators.h"
#include "quality/iid_internal.h"

namespace quality {
namespace {

constexpr unsigned kStatistics = 19;
constexpr std::array<const char*, kStatistics> kNames = {
    "excursion",       "numDirectionalRuns", "lenDirectionalRuns", "numIncreasesDecreases",
    "numRunsMedian",   "lenRunsMedian",      "avgCollision",       "maxCollision",
    "periodicity(1)",  "periodicity(2)",     "periodicity(8)",     "periodicity(16)",
    "periodicity(32)", "covariance(1)",      "covariance(2)",      "covariance(8)",
    "covariance(16)",  "covariance(32)",     "compression"};
enum : unsigned {
  kExcursion = 0,
  kDirectionalRuns = 1,  // and the two after it
  kMedianRuns = 4,       // and the one after it
  kCollision = 6,        // average, then maximum
  kPeriodicity = 8,      // one per lag
  kCovariance = 13,      // one per lag
  kCompression = 18,
};
constexpr std::array<unsigned, 5> kLags = {1, 2, 8, 16, 32};

using Mask = std::uint32_t;  // bit j: statistic j
using Values = std::array<double, kStatistics>;
constexpr Mask kAll = (Mask{1} << kStatistics) - 1;
constexpr Mask Bits(unsigned first, unsigned count) {
  return ((Mask{1} << count) - 1) << first;
}

bool CompressionAvailable() {
#ifdef RNGACQ_HAVE_BZIP2
  return true;
#else
  return false;
#endif
}

// What every shuffle shares: the sequence that is shuffled (the samples' values, or 0/1 for
// binary data) and what the statistics need of it.
struct Data {
  std::span<const std::uint8_t> samples;
  bool binary = false;
  std::array<std::uint8_t, 256> value{};  // the sample value of each element
  double mean = 0;                        // of the sample values
  unsigned twice_median = 0;              // in elements; binary data is split at 0.5
};

// Per worker, reused from shuffle to shuffle.
struct Workspace {
  std::vector<std::uint8_t> shuffled, ones, bytes;
  std::vector<char> text, packed;
};

// splitmix64 (to seed) and xoshiro256** (to shuffle), both by Vigna and Blackman.
std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

class Xoshiro256 {
 public:
  // Shuffle `index` of a run with `seed`: a generator of its own, so that shuffles can run in any
  // order on any thread.
  Xoshiro256(std::uint64_t seed, std::uint32_t index) {
    std::uint64_t mix = seed;
    std::uint64_t state = SplitMix(mix) ^ (std::uint64_t{index} * 0xD1B54A32D192ED03u);
    for (std::uint64_t& s : s_) s = SplitMix(state);
  }
  std::uint64_t operator()() {
    const std::uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }

 private:
  std::array<std::uint64_t, 4> s_{};
};

// Fisher-Yates, drawing each place uniformly by Lemire's multiply-and-reject on 32-bit halves of
// the generator's words.
void Shuffle(std::span<std::uint8_t> a, Xoshiro256& g) {
  std::uint64_t word = 0;
  bool half = false;
  const auto next32 = [&] {
    if (half) {
      half = false;
      return static_cast<std::uint32_t>(word >> 32);
    }
    word = g();
    half = true;
    return static_cast<std::uint32_t>(word);
  };
  for (std::size_t i = a.size(); i > 1; --i) {
    const auto bound = static_cast<std::uint32_t>(i);
    std::uint64_t m = std::uint64_t{next32()} * bound;
    if (static_cast<std::uint32_t>(m) < bound) {
      const std::uint32_t reject = (0u - bound) % bound;
      while (static_cast<std::uint32_t>(m) < reject) m = std::uint64_t{next32()} * bound;
    }
    std::swap(a[i - 1], a[static_cast<std::size_t>(m >> 32)]);
  }
}

double Excursion(std::span<const std::uint8_t> x, const Data& d) {
  std::uint64_t sum = 0;  // exact, and the same double the running sum of doubles would be
  double most = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sum += d.value[x[i]];
    most = std::max(most, std::abs(static_cast<double>(sum) - static_cast<double>(i + 1) * d.mean));
  }
  return most;
}

// Runs of equal outcomes of `above(i)` for i < length: their number, the longest, and how many
// outcomes were true. No outcomes give all three 0.
struct Runs {
  std::uint64_t count = 0, longest = 0, above = 0;
};
template <typename Above>
Runs RunsOf(std::size_t length, Above above) {
  Runs r;
  if (length == 0) return r;
  bool before = above(0);
  std::uint64_t run = 1;
  r = {1, 1, before ? 1u : 0u};
  for (std::size_t i = 1; i < length; ++i) {
    const bool now = above(i);
    const bool same = now == before;
    r.above += now;
    r.count += !same;
    run = same ? run + 1 : 1;
    r.longest = std::max(r.longest, run);
    before = now;
  }
  return r;
}

void Directional(std::span<const std::uint8_t> x, Values& out) {
  const std::size_t steps = x.empty() ? 0 : x.size() - 1;
  const Runs r = RunsOf(steps, [&](std::size_t i) { return x[i] <= x[i + 1]; });
  out[kDirectionalRuns] = static_cast<double>(r.count);
  out[kDirectionalRuns + 1] = static_cast<double>(r.longest);
  out[kDirectionalRuns + 2] = static_cast<double>(std::max(r.above, steps - r.above));
}

void MedianRuns(std::span<const std::uint8_t> x, unsigned twice_median, Values& out) {
  const Runs r = RunsOf(x.size(), [&](std::size_t i) { return 2u * x[i] >= twice_median; });
  out[kMedianRuns] = static_cast<double>(r.count);
  out[kMedianRuns + 1] = static_cast<double>(r.longest);
}

// Windows that each end at the first value seen twice in them, the next starting after it; the
// tail without a repeat is no window.
void Collisions(std::span<const std::uint8_t> x, Values& out) {
  std::array<std::uint32_t, 256> seen{};  // the window a value was last seen in
  std::uint32_t window = 1;
  std::size_t start = 0;
  std::uint64_t windows = 0, total = 0, longest = 0;
  for (std::size_t q = 0; q < x.size(); ++q) {
    if (seen[x[q]] == window) {
      const std::uint64_t length = q - start + 1;
      ++windows;
      total += length;
      longest = std::max(longest, length);
      ++window;
      start = q + 1;
    } else {
      seen[x[q]] = window;
    }
  }
  out[kCollision] = windows == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(windows);
  out[kCollision + 1] = static_cast<double>(longest);
}

// Periodicity and covariance at one lag. Counts go in chunks whose sums fit 32 bits (a product is
// below 2^16), so that the loop vectorises in narrow lanes.
void Lagged(std::span<const std::uint8_t> x, unsigned lag, unsigned l, Mask need, Values& out) {
  std::uint64_t same = 0, products = 0;
  const std::size_t pairs = x.size() > lag ? x.size() - lag : 0;
  constexpr std::size_t kChunk = 65536;
  for (std::size_t start = 0; start < pairs; start += kChunk) {
    const std::size_t end = std::min(pairs, start + kChunk);
    std::uint32_t s = 0, p = 0;
    if (need >> (kPeriodicity + l) & 1)
      for (std::size_t i = start; i < end; ++i) s += x[i] == x[i + lag];
    if (need >> (kCovariance + l) & 1)
      for (std::size_t i = start; i < end; ++i) p += std::uint32_t{x[i]} * x[i + lag];
    same += s;
    products += p;
  }
  out[kPeriodicity + l] = static_cast<double>(same);
  out[kCovariance + l] = static_cast<double>(products);
}

// The bzip2-compressed length (block size 5, as ea_iid) of the values as decimal text, one space
// between each two.
double Compressed(std::span<const std::uint8_t> x, const Data& d, Workspace& w) {
#ifdef RNGACQ_HAVE_BZIP2
  w.text.resize(x.size() * 4);
  char* at = w.text.data();
  for (const std::uint8_t e : x) {
    const unsigned v = d.value[e];
    if (v >= 100) *at++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *at++ = static_cast<char>('0' + v / 10 % 10);
    *at++ = static_cast<char>('0' + v % 10);
    *at++ = ' ';
  }
  const auto length = static_cast<unsigned>(at - w.text.data() - (x.empty() ? 0 : 1));
  w.packed.resize(length + length / 100 + 601);
  auto packed_length = static_cast<unsigned>(w.packed.size());
  const int rc = BZ2_bzBuffToBuffCompress(w.packed.data(), &packed_length, w.text.data(), length, 5, 0, 0);
  return rc == BZ_OK ? packed_length : 0.0;
#else
  (void)x, (void)d, (void)w;
  return 0;
#endif
}

// The statistics in `need` of the sequence x (the samples in some order).
void Statistics(std::span<const std::uint8_t> x, const Data& d, Mask need, Workspace& w, Values& out) {
  if (need >> kExcursion & 1) out[kExcursion] = Excursion(x, d);
  // Binary data: the runs, periodicity and covariance on the ones per 8-bit block, the
  // collisions on the blocks as bytes.
  std::span<const std::uint8_t> ones = x, bytes = x;
  if (d.binary && (need & (Bits(kDirectionalRuns, 3) | Bits(kPeriodicity, 10)))) {
    w.ones.assign((x.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < x.size(); ++i)
      w.ones[i / 8] = static_cast<std::uint8_t>(w.ones[i / 8] + x[i]);
    ones = w.ones;
  }
  if (d.binary && (need & Bits(kCollision, 2))) {
    w.bytes.assign((x.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < x.size(); ++i)
      w.bytes[i / 8] = static_cast<std::uint8_t>(w.bytes[i / 8] | x[i] << (7 - i % 8));
    bytes = w.bytes;
  }
  if (need & Bits(kDirectionalRuns, 3)) Directional(ones, out);
  if (need & Bits(kMedianRuns, 2)) MedianRuns(x, d.twice_median, out);
  if (need & Bits(kCollision, 2)) Collisions(bytes, out);
  for (unsigned l = 0; l < kLags.size(); ++l)
    if (need & (Mask{1} << (kPeriodicity + l) | Mask{1} << (kCovariance + l)))
      Lagged(ones, kLags[l], l, need, out);
  if (need >> kCompression & 1) out[kCompression] = Compressed(x, d, w);
}

// Runs job(i, worker) for i < count on up to `threads` threads, worker numbering each thread's
// workspace; the first exception is rethrown.
template <typename Job>
void Parallel(std::size_t count, unsigned threads, Job job) {
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::exception_ptr failure;
  const auto work = [&](unsigned worker) {
    for (std::size_t i; (i = next++) < count;) {
      try {
        job(i, worker);
      } catch (...) {
        const std::lock_guard hold(lock);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (unsigned t = 1; t < std::min<std::size_t>(threads, count); ++t) helpers.emplace_back(work, t);
    work(0);
  }
  if (failure) std::rethrow_exception(failure);
}

// `beside` runs while the statistics of the samples as given are computed: the other tests.
template <typename Beside>
void PermutationTest(const Data& d, const IidOptions& options, IidResult& result, Beside beside) {
  const unsigned threads = std::max(1u, options.threads);
  std::vector<Workspace> spaces(threads);
  Values original{};
  Parallel(2, threads, [&](std::size_t job, unsigned worker) {
    if (job == 0)
      Statistics(d.samples, d, kAll, spaces[worker], original);
    else
      beside();
  });

  result.permutation.resize(kStatistics);
  Mask undecided = kAll;
  for (unsigned j = 0; j < kStatistics; ++j) {
    IidStatistic& s = result.permutation[j];
    s.name = kNames[j];
    s.value = original[j];
  }
  if (!CompressionAvailable()) {
    result.permutation[kCompression].available = false;
    result.permutation[kCompression].value = std::numeric_limits<double>::quiet_NaN();
    result.permutation_complete = false;
    undecided &= ~(Mask{1} << kCompression);
  }

  // Groups of one shuffle per thread, all computing what was undecided when the group began, then
  // counted in order: the counts are those of shuffles taken one by one, however many threads.
  const std::uint32_t total = options.permutations;
  std::vector<Values> values(threads);
  std::uint32_t counted = 0;
  while (counted < total && undecided != 0) {
    const std::uint32_t group = std::min<std::uint32_t>(threads, total - counted);
    const Mask need = undecided;
    Parallel(group, threads, [&](std::size_t i, unsigned worker) {
      Workspace& w = spaces[worker];
      w.shuffled.assign(d.samples.begin(), d.samples.end());
      Xoshiro256 g(options.seed, counted + static_cast<std::uint32_t>(i));
      Shuffle(w.shuffled, g);
      Statistics(w.shuffled, d, need, w, values[i]);
    });
    for (std::uint32_t i = 0; i < group && undecided != 0; ++i, ++counted) {
      for (unsigned j = 0; j < kStatistics; ++j) {
        if (!(undecided >> j & 1)) continue;
        IidStatistic& s = result.permutation[j];
        if (values[i][j] > original[j])
          ++s.greater;
        else if (values[i][j] == original[j])
          ++s.equal;
        else
          ++s.less;
        if (s.greater + s.equal > 5 && s.equal + s.less > 5) undecided &= ~(Mask{1} << j);
      }
    }
    if (options.progress) options.progress(counted, total);
  }
  result.permutations_run = counted;

  result.permutation_passed = true;
  for (unsigned j = 0; j < kStatistics; ++j) {
    IidStatistic& s = result.permutation[j];
    s.passed = s.available && s.greater + s.equal > 5 && s.equal + s.less > 5;
    if (s.available && !s.passed) {
      result.permutation_passed = false;
      if (*result.deciding == '\0') result.deciding = s.name;
    }
  }
}

}  // namespace

IidResult AssessIid(std::span<const std::uint8_t> samples, unsigned bits, const IidOptions& options) {
  if (bits < 1 || bits > 8) throw std::invalid_argument("sample width must be 1 to 8 bits");
  if (samples.size() > std::size_t{1} << 30)  // the compression statistic's text must fit bzip2's unsigned
    throw std::invalid_argument("too many samples for the IID assessment");
  IidResult result;
  result.bits = bits;
  result.samples = samples.size();
  result.h_bitstring = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::uint8_t> symbols = estimators::NumberedSamples(samples, bits, result.distinct);
  if (result.distinct < 2) {
    result.deciding = "fewer than two distinct values";
    result.permutation_complete = false;
    return result;
  }

  // Binary data is shuffled as 0/1, other data as the sample values.
  Data d;
  d.binary = result.distinct == 2;
  const unsigned mask = (1u << bits) - 1;
  std::vector<std::uint8_t> values;
  if (d.binary) {
    std::uint8_t low = 255, high = 0;
    for (const std::uint8_t s : samples) {
      const auto v = static_cast<std::uint8_t>(s & mask);
      low = std::min(low, v);
      high = std::max(high, v);
    }
    d.value[0] = low;
    d.value[1] = high;
    d.samples = symbols;
    d.twice_median = 1;
  } else {
    values.resize(samples.size());
    std::transform(samples.begin(), samples.end(), values.begin(),
                   [mask](std::uint8_t s) { return static_cast<std::uint8_t>(s & mask); });
    for (unsigned v = 0; v < 256; ++v) d.value[v] = static_cast<std::uint8_t>(v);
    d.samples = values;
    // The median of the values; of two middle ones their mean, kept doubled to stay whole.
    std::array<std::uint64_t, 256> counts{};
    for (const std::uint8_t v : values) ++counts[v];
    const std::uint64_t n = values.size();
    const auto at = [&](std::uint64_t rank) {  // the value of the given rank, from 0
      unsigned v = 0;
      for (std::uint64_t seen = counts[0]; seen <= rank;) seen += counts[++v];
      return v;
    };
    d.twice_median = n % 2 == 1 ? 2 * at(n / 2) : at(n / 2 - 1) + at(n / 2);
  }
  std::uint64_t sum = 0;
  for (const std::uint8_t e : d.samples) sum += d.value[e];
  d.mean = static_cast<double>(sum) / static_cast<double>(samples.size());

  PermutationTest(d, options, result, [&] {
    result.independence = iid::Independence(symbols, result.distinct);
    result.goodness_of_fit = iid::GoodnessOfFit(symbols, result.distinct);
    result.longest_repeat = iid::LongestRepeat(symbols, result.distinct);

    result.h_original = estimators::MostCommonValue(symbols).min_entropy;
    result.h_mcv = std::min<double>(bits, result.h_original);
    if (result.distinct > 2) {
      result.h_bitstring = estimators::MostCommonValue(estimators::BitString(samples, bits)).min_entropy;
      result.h_mcv = std::min(result.h_mcv, bits * result.h_bitstring);
    }
  });
  for (const auto& [passed, name] : {std::pair{result.independence.passed, result.independence.name},
                                     std::pair{result.goodness_of_fit.passed, result.goodness_of_fit.name},
                                     std::pair{result.longest_repeat.passed, "longest repeated substring"}})
    if (!passed && *result.deciding == '\0') result.deciding = name;
  result.iid = *result.deciding == '\0';
  return result;
}

}  // namespace quality
