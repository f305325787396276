// Continuous health tests on bytes: the repetition count test (RCT) and the adaptive proportion
// test (APT) of NIST SP 800-90B 4.4, and a block repetition test, each at two levels: a warning
// (false alarm about once in 2^30 samples) and a failure (2^-60: only a stuck source reaches it,
// so the caller stops).
//
// The block repetition test looks for the fault the other tests cannot see: a module or driver
// that hands out a stale buffer again repeats a whole block, whose bytes are each as random as
// before. It counts the bytes in a row that equal the byte one block (1984 bytes) earlier; for a
// source of min-entropy h per byte each such match has a probability of at most 2^-h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace quality {

inline constexpr std::uint32_t kAptWindow = 512;
inline constexpr std::size_t kRepeatLag = 1984;  // the module's largest block
inline constexpr int kWarningAlphaLog2 = 30;     // alpha = 2^-30
inline constexpr int kFailureAlphaLog2 = 60;     // alpha = 2^-60

// Smallest k with P(X <= k) >= 1 - 2^-alpha_log2 for X ~ Binomial(n, p).
std::uint32_t CriticalBinomial(std::uint64_t n, long double p, int alpha_log2);
// Cutoffs for a claimed min-entropy of `h` bits per byte (0 < h <= 8).
std::uint32_t RctCutoff(double h, int alpha_log2);
std::uint32_t AptCutoff(double h, int alpha_log2, std::uint32_t window = kAptWindow);
// Matches in a row with the byte one block earlier.
std::uint32_t RepeatCutoff(double h, int alpha_log2);

enum class HealthTest { RepetitionCount, AdaptiveProportion, BlockRepetition };
enum class HealthLevel { Warning, Failure };

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
  const HealthResult& Repeat() const { return repeat_; }
  bool Failed() const { return rct_.failures + apt_.failures + repeat_.failures > 0; }
  // After a gap in the data (a module that left and came back) the tests start as on fresh data:
  // no run, window or repeat reaches across the gap. Counts and offsets go on.
  void Restart();

 private:
  void Hit(HealthResult& result, HealthTest test, HealthLevel level, std::uint64_t offset);
  // Runs of a[i] == b[i] over n bytes, the first at `offset`; `run` carries the run across calls.
  void MatchRuns(HealthResult& result, HealthTest test, std::uint32_t less, const std::uint8_t* a,
                 const std::uint8_t* b, std::size_t n, std::uint64_t& run, std::uint64_t offset);
  void FeedRct(const std::uint8_t* data, std::size_t size);
  void FeedApt(const std::uint8_t* data, std::size_t size);
  void FeedRepeat(const std::uint8_t* data, std::size_t size);

  HealthListener listener_;
  HealthResult rct_, apt_, repeat_;
  std::uint64_t offset_ = 0;  // bytes fed so far
  std::uint64_t start_ = 0;   // the offset of the first byte after the last restart
  std::uint8_t last_ = 0;
  std::uint64_t rct_run_ = 0;                       // bytes in a row equal to the one before
  std::uint64_t repeat_run_ = 0;                    // bytes in a row equal to the one a block before
  std::array<std::uint8_t, kRepeatLag> history_{};  // the byte at offset o in slot o % kRepeatLag
  std::uint8_t reference_ = 0;
  std::uint32_t window_seen_ = 0;  // samples of the current window seen so far
  std::uint32_t matches_ = 0;      // occurrences of the reference in the window so far
};

}  // namespace quality
