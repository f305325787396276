// The non-IID assessment: which estimator runs on which sequence (as NIST's ea_non_iid chooses
// them for an initial entropy estimate), run side by side, and the minima.
#include "quality/assessment.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "quality/assessment_estimators.h"

namespace quality {
namespace {

using Job = std::function<void()>;

// The estimators for one sequence of symbols 0..k-1, each writing its own place in `out`.
// Collision, Markov and compression apply to binary sequences only.
void AddEstimators(std::span<const std::uint8_t> s, unsigned k, std::vector<Estimate>& out,
                   std::vector<Job>& jobs) {
  namespace e = estimators;
  const bool binary = k == 2;
  out.resize(binary ? 10 : 7);
  Estimate* at = out.data();
  // Heavier first, so that two threads finish together.
  jobs.push_back([=] { std::tie(at[binary ? 4 : 1], at[binary ? 5 : 2]) = e::TupleEstimates(s); });
  Estimate* predictors = at + (binary ? 6 : 3);
  jobs.push_back([=] { predictors[2] = e::MultiMmc(s, k); });
  jobs.push_back([=] { predictors[3] = e::Lz78y(s, k); });
  jobs.push_back([=] { predictors[1] = e::Lag(s, k); });
  jobs.push_back([=] { predictors[0] = e::MultiMcw(s, k); });
  jobs.push_back([=] {
    at[0] = e::MostCommonValue(s);
    if (!binary) return;
    at[1] = e::Collision(s);
    at[2] = e::Markov(s);
    at[3] = e::Compression(s);
  });
}

double Minimum(const std::vector<Estimate>& estimates, double start) {
  for (const Estimate& e : estimates)
    if (e.applicable) start = std::min(start, e.min_entropy);
  return start;
}

void RunAll(const std::vector<Job>& jobs, const AssessOptions& options) {
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  unsigned done = 0;
  std::exception_ptr failure;
  const auto work = [&] {
    for (std::size_t j; (j = next++) < jobs.size();) {
      try {
        jobs[j]();
      } catch (...) {
        const std::lock_guard hold(lock);
        if (!failure) failure = std::current_exception();
      }
      if (options.progress) {
        const std::lock_guard hold(lock);
        options.progress(++done, static_cast<unsigned>(jobs.size()));
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (unsigned t = 1; t < std::min<std::size_t>(options.threads, jobs.size()); ++t)
      helpers.emplace_back(work);
    work();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

double Estimate::Get(const char* figure) const {
  for (const Figure& f : figures)
    if (std::strcmp(f.name, figure) == 0) return f.value;
  return std::numeric_limits<double>::quiet_NaN();
}

NonIidResult AssessNonIid(std::span<const std::uint8_t> samples, unsigned bits,
                          const AssessOptions& options) {
  if (bits < 1 || bits > 8) throw std::invalid_argument("sample width must be 1 to 8 bits");
  NonIidResult result;
  result.bits = bits;
  result.samples = samples.size();
  result.h_bitstring = std::numeric_limits<double>::quiet_NaN();

  const std::vector<std::uint8_t> symbols = estimators::NumberedSamples(samples, bits, result.distinct);
  if (result.distinct < 2) return result;  // one value: no entropy
  // The bit string is made of the values themselves, not their numbers.
  std::vector<std::uint8_t> bitstring;
  if (result.distinct > 2) bitstring = estimators::BitString(samples, bits);

  std::vector<Job> jobs;
  if (!bitstring.empty()) AddEstimators(bitstring, 2, result.bitstring, jobs);
  AddEstimators(symbols, result.distinct, result.original, jobs);
  RunAll(jobs, options);

  result.h_original = Minimum(result.original, bits);
  result.h_assessed = result.h_original;
  if (!bitstring.empty()) {
    result.h_bitstring = Minimum(result.bitstring, 1.0);
    result.h_assessed = std::min(result.h_assessed, bits * result.h_bitstring);
  }
  return result;
}

namespace estimators {

std::vector<std::uint8_t> NumberedSamples(std::span<const std::uint8_t> samples, unsigned bits,
                                          unsigned& distinct) {
  const unsigned mask = (1u << bits) - 1;
  std::array<bool, 256> present{};
  for (const std::uint8_t s : samples) present[s & mask] = true;
  std::array<std::uint8_t, 256> number{};
  distinct = 0;
  for (unsigned v = 0; v <= mask; ++v)
    if (present[v]) number[v] = static_cast<std::uint8_t>(distinct++);
  std::vector<std::uint8_t> symbols(samples.size());
  std::transform(samples.begin(), samples.end(), symbols.begin(),
                 [&](std::uint8_t s) { return number[s & mask]; });
  return symbols;
}

std::vector<std::uint8_t> BitString(std::span<const std::uint8_t> samples, unsigned bits) {
  std::vector<std::uint8_t> bitstring(samples.size() * bits);
  std::size_t at = 0;
  for (const std::uint8_t s : samples)
    for (unsigned b = bits; b-- > 0;) bitstring[at++] = static_cast<std::uint8_t>(s >> b & 1);
  return bitstring;
}

std::pair<std::vector<Estimate>, std::vector<Estimate>> SampleEstimates(std::span<const std::uint8_t> first,
                                                                        std::span<const std::uint8_t> second,
                                                                        unsigned k,
                                                                        const AssessOptions& options) {
  std::pair<std::vector<Estimate>, std::vector<Estimate>> estimates;
  std::vector<Job> jobs;
  AddEstimators(first, k, estimates.first, jobs);
  AddEstimators(second, k, estimates.second, jobs);
  RunAll(jobs, options);
  return estimates;
}

}  // namespace estimators

InitialEntropy CheckInitialEntropy(const NonIidResult& result, double claimed_bits_per_sample) {
  InitialEntropy check;
  check.claimed = claimed_bits_per_sample;
  check.assessed = result.h_assessed;
  check.h_initial = std::min(claimed_bits_per_sample, result.h_assessed);
  check.claim_supported = claimed_bits_per_sample <= result.h_assessed;
  return check;
}

}  // namespace quality
