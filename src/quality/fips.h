// The FIPS 140-2 statistical tests on 20,000-bit blocks, block for block as rngtest counts them:
// the first 4 bytes only seed the continuous test, then every whole block of 2,500 bytes is
// tested; a tail too short for a block is not. rngtest also lets a block's runs count depend on
// the block before it in a way not reproduced here: its runs failures can differ by one now and
// then (one block in several thousand made to sit at an interval's edge; none seen in random data).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quality {

inline constexpr std::size_t kFipsBlock = 2500;

enum FipsTest : std::size_t { kMonobit, kPoker, kRuns, kLongRun, kContinuousRun, kFipsTests };

struct FipsResult {
  std::uint64_t blocks = 0;
  std::uint64_t successes = 0;
  std::uint64_t failures = 0;                             // blocks with at least one failed test
  std::array<std::uint64_t, kFipsTests> test_failures{};  // by FipsTest
};

// Which tests a single block fails, as a bit set over FipsTest (continuous run excluded: it
// needs the word before the block); adds the block's byte counts to `histogram`.
// `after_one`: the tested block before ended with a 1 bit. rngtest carries that bit into the
// block's counts: a block that begins with a 0 after it counts one more nibble of value 15 in the
// poker test, and one that begins with a 1 otherwise one more run of six ones or more.
unsigned FipsBlockFailures(const std::uint8_t* block, std::array<std::uint64_t, 256>& histogram,
                           bool after_one = false);

class FipsTests {
 public:
  void Feed(const std::uint8_t* data, std::size_t size);
  const FipsResult& Result() const { return result_; }
  // Counts of every byte value fed so far, tested or not: the byte statistics take them from
  // here instead of counting each byte twice.
  std::array<std::uint64_t, 256> Histogram() const;

 private:
  void TestBlock(const std::uint8_t* block);

  FipsResult result_;
  std::array<std::uint64_t, 256> histogram_{};  // bytes of the seed and of tested blocks
  std::array<std::uint8_t, kFipsBlock> pending_{};
  std::size_t pending_size_ = 0;
  std::uint8_t last_word_[4] = {};
  std::size_t seed_size_ = 0;
};

}  // namespace quality
