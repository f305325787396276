#include "quality/health.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quality {

std::uint32_t CriticalBinomial(std::uint64_t n, long double p, int alpha_log2) {
  // The upper tail P(X > k) is summed from the top in long double; 1 - alpha itself is not
  // representable at alpha = 2^-60, the tail is. Each term comes from the log of the mass.
  const long double alpha = std::ldexp(1.0L, -alpha_log2);
  const long double log_p = std::log(p), log_q = std::log1p(-p);
  const long double log_n = std::lgamma(static_cast<long double>(n) + 1);
  long double tail = 0;  // P(X > k) for the k below
  // Far above the mean the masses are below 2^-200 (a Chernoff bound): the sum starts there.
  const long double mean = static_cast<long double>(n) * p, spread = std::sqrt(mean * (1 - p));
  const auto top = static_cast<std::uint64_t>(std::min(static_cast<long double>(n), mean + 20 * spread + 64));
  for (std::uint64_t k = top; k > 0; --k) {
    const auto j = static_cast<long double>(k);
    const long double log_mass = log_n - std::lgamma(j + 1) -
                                 std::lgamma(static_cast<long double>(n) - j + 1) + j * log_p +
                                 (static_cast<long double>(n) - j) * log_q;
    tail += std::exp(log_mass);  // now P(X >= k) = P(X > k - 1)
    if (tail > alpha) return static_cast<std::uint32_t>(k);
  }
  return 0;
}

std::uint32_t RctCutoff(double h, int alpha_log2) {
  return 1 + static_cast<std::uint32_t>(std::ceil(static_cast<double>(alpha_log2) / h));
}

std::uint32_t RepeatCutoff(double h, int alpha_log2) {
  return static_cast<std::uint32_t>(std::ceil(static_cast<double>(alpha_log2) / h));
}

std::uint32_t AptCutoff(double h, int alpha_log2, std::uint32_t window) {
  return 1 + CriticalBinomial(window, std::exp2(-static_cast<long double>(h)), alpha_log2);
}

HealthTests::HealthTests(double h, HealthListener listener) : listener_(std::move(listener)) {
  rct_.warning_cutoff = RctCutoff(h, kWarningAlphaLog2);
  rct_.failure_cutoff = RctCutoff(h, kFailureAlphaLog2);
  apt_.warning_cutoff = AptCutoff(h, kWarningAlphaLog2);
  apt_.failure_cutoff = AptCutoff(h, kFailureAlphaLog2);
  repeat_.warning_cutoff = RepeatCutoff(h, kWarningAlphaLog2);
  repeat_.failure_cutoff = RepeatCutoff(h, kFailureAlphaLog2);
}

void HealthTests::Hit(HealthResult& result, HealthTest test, HealthLevel level, std::uint64_t offset) {
  if (level == HealthLevel::Warning) {
    if (result.warnings < HealthResult::kKept)
      result.warning_offsets[static_cast<std::size_t>(result.warnings)] = offset;
    ++result.warnings;
  } else {
    if (result.failures == 0) result.first_failure_offset = offset;
    ++result.failures;
  }
  if (listener_) listener_({test, level, offset});
}

void HealthTests::MatchRuns(HealthResult& result, HealthTest test, std::uint32_t less, const std::uint8_t* a,
                            const std::uint8_t* b, std::size_t n, std::uint64_t& run, std::uint64_t offset) {
  // Span by span: the matches are counted in vectors; only a span where the run could reach the
  // warning cutoff is walked byte by byte.
  constexpr std::size_t kSpan = 64;
  const std::uint64_t warning = result.warning_cutoff - less, failure = result.failure_cutoff - less;
  for (std::size_t at = 0; at < n; at += kSpan) {
    const std::size_t m = std::min(kSpan, n - at);
    std::uint32_t equal = 0;
    for (std::size_t i = 0; i < m; ++i) equal += a[at + i] == b[at + i];
    if (run + equal < warning) {
      // No hit here; the run at the span's end is its trailing matches.
      std::size_t tail = 0;
      while (tail < m && a[at + m - 1 - tail] == b[at + m - 1 - tail]) ++tail;
      run = tail == m ? run + tail : tail;
      continue;
    }
    for (std::size_t i = at; i < at + m; ++i) {
      run = a[i] == b[i] ? run + 1 : 0;
      if (run == warning) Hit(result, test, HealthLevel::Warning, offset + i);
      if (run == failure) Hit(result, test, HealthLevel::Failure, offset + i);
    }
  }
}

void HealthTests::Feed(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  FeedRct(data, size);
  FeedApt(data, size);
  FeedRepeat(data, size);
  offset_ += size;
}

void HealthTests::Restart() {
  start_ = offset_;
  rct_run_ = 0;
  repeat_run_ = 0;
  window_seen_ = 0;
  matches_ = 0;
}

void HealthTests::FeedRct(const std::uint8_t* data, std::size_t size) {
  // A run of c equal bytes is c - 1 matches with the byte before.
  const auto test = HealthTest::RepetitionCount;
  if (offset_ > start_) {
    MatchRuns(rct_, test, 1, data, &last_, 1, rct_run_, offset_);
  }
  MatchRuns(rct_, test, 1, data + 1, data, size - 1, rct_run_, offset_ + 1);
  last_ = data[size - 1];
}

void HealthTests::FeedRepeat(const std::uint8_t* data, std::size_t size) {
  const auto test = HealthTest::BlockRepetition;
  // The first block of the file (or after a restart) has nothing to repeat; later bytes meet
  // their earlier byte in the history while it lies before `data`, then in `data` itself.
  const auto at = static_cast<std::size_t>(offset_ % kRepeatLag);  // the slot of data[0]
  const std::uint64_t since = offset_ - start_;
  std::size_t i = since < kRepeatLag ? std::min(size, kRepeatLag - static_cast<std::size_t>(since)) : 0;
  while (i < std::min(size, kRepeatLag)) {
    const std::size_t slot = (at + i) % kRepeatLag;
    const std::size_t m = std::min(std::min(size, kRepeatLag) - i, kRepeatLag - slot);
    MatchRuns(repeat_, test, 0, data + i, history_.data() + slot, m, repeat_run_, offset_ + i);
    i += m;
  }
  if (i < size)
    MatchRuns(repeat_, test, 0, data + i, data + i - kRepeatLag, size - i, repeat_run_, offset_ + i);
  for (std::size_t k = size - std::min(size, kRepeatLag); k < size;) {
    const std::size_t slot = (at + k) % kRepeatLag, m = std::min(size - k, kRepeatLag - slot);
    std::memcpy(history_.data() + slot, data + k, m);
    k += m;
  }
}

void HealthTests::FeedApt(const std::uint8_t* data, std::size_t size) {
  std::uint64_t at = offset_;
  while (size > 0) {
    if (window_seen_ == 0) reference_ = data[0];
    const std::size_t n = std::min<std::size_t>(size, kAptWindow - window_seen_);
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += data[i] == reference_;  // vectorised
    const std::uint32_t before = matches_;
    matches_ += count;
    const auto crossed = [&](std::uint32_t cutoff) { return before < cutoff && matches_ >= cutoff; };
    if (crossed(apt_.warning_cutoff) || crossed(apt_.failure_cutoff)) {
      // Only now find the exact byte: crossings are rare.
      std::uint32_t c = before;
      for (std::size_t i = 0; i < n; ++i) {
        if (data[i] != reference_) continue;
        ++c;
        if (c == apt_.warning_cutoff) Hit(apt_, HealthTest::AdaptiveProportion, HealthLevel::Warning, at + i);
        if (c == apt_.failure_cutoff) Hit(apt_, HealthTest::AdaptiveProportion, HealthLevel::Failure, at + i);
      }
    }
    window_seen_ += static_cast<std::uint32_t>(n);
    if (window_seen_ == kAptWindow) window_seen_ = 0, matches_ = 0;
    data += n;
    size -= n;
    at += n;
  }
}

}  // namespace quality
