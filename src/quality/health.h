// Continuous health tests on bytes: the repetition count test (RCT) and the adaptive proportion
// test (APT) of NIST SP 800-90B 4.4, each at two levels: a warning (false alarm about once in
// 2^30 samples) and a failure (2^-60: only a stuck source reaches it, so the caller stops).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace quality {

inline constexpr std::uint32_t kAptWindow = 512;
inline constexpr int kWarningAlphaLog2 = 30;  // alpha = 2^-30
inline constexpr int kFailureAlphaLog2 = 60;  // alpha = 2^-60

// Smallest k with P(X <= k) >= 1 - 2^-alpha_log2 for X ~ Binomial(n, p).
std::uint32_t CriticalBinomial(std::uint64_t n, long double p, int alpha_log2);
// Cutoffs for a claimed min-entropy of `h` bits per byte (0 < h <= 8).
std::uint32_t RctCutoff(double h, int alpha_log2);
std::uint32_t AptCutoff(double h, int alpha_log2, std::uint32_t window = kAptWindow);

enum class HealthTest { kRepetitionCount, kAdaptiveProportion };
enum class HealthLevel { kWarning, kFailure };

struct HealthEvent {
  HealthTest test;
  HealthLevel level;
  std::uint64_t offset;  // the byte (counted from the file's start) that reached the cutoff
};
using HealthListener = std::function<void(const HealthEvent&)>;

struct HealthResult {
  static constexpr std::size_t kKept = 8;
  std::uint32_t warning_cutoff = 0;
  std::uint32_t failure_cutoff = 0;
  std::uint64_t warnings = 0;
  std::uint64_t failures = 0;
  std::array<std::uint64_t, kKept> warning_offsets{};  // the first min(warnings, kKept)
  std::uint64_t first_failure_offset = 0;              // valid when failures > 0
};

class HealthTests {
 public:
  explicit HealthTests(double h, HealthListener listener = {});
  void Feed(const std::uint8_t* data, std::size_t size);
  const HealthResult& Rct() const { return rct_; }
  const HealthResult& Apt() const { return apt_; }
  bool Failed() const { return rct_.failures + apt_.failures > 0; }

 private:
  void Hit(HealthResult& result, HealthTest test, HealthLevel level, std::uint64_t offset);
  void FeedApt(const std::uint8_t* data, std::size_t size);

  HealthListener listener_;
  HealthResult rct_, apt_;
  std::uint64_t offset_ = 0;  // bytes fed so far
  std::uint8_t last_ = 0;
  std::uint32_t run_ = 0;  // length of the current run of `last_`
  std::uint8_t reference_ = 0;
  std::uint32_t window_seen_ = 0;  // samples of the current window seen so far
  std::uint32_t matches_ = 0;      // occurrences of the reference in the window so far
};

}  // namespace quality
