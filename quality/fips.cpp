#include "quality/fips.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quality {
namespace {

constexpr std::size_t kWords = (kFipsBlock + 7) / 8;  // 313; the last holds 4 bytes

struct Interval {
  std::uint32_t low, high;  // inclusive
};
// Runs of each length 1..5 and of 6 or more, for runs of zeros and of ones alike.
constexpr Interval kRunIntervals[6] = {{2315, 2685}, {1114, 1386}, {527, 723},
                                       {240, 384},   {103, 209},   {103, 209}};
constexpr std::uint32_t kLongRunBits = 26;
// Poker: 2.16 < 16/5000 * sum(f^2) - 5000 < 46.17, as whole sums of squares.
constexpr std::uint64_t kPokerLow = 1563176, kPokerHigh = 1576928;

// The bit stream runs from each byte's most significant bit to its least significant, as
// rngtest reads it; a word holds 64 bits of it, the first in bit 63.
std::uint64_t LoadBigEndian(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < 8; ++i) word = word << 8 | (i < count ? bytes[i] : 0u);
  return word;
}

// Adds, for k = 1..6, the number of runs of ones of length >= k in the bit stream `w` (bits
// outside the stream are 0). A run of length >= k starts
// where a 1 follows a 0 and the k - 1 bits after it are 1 as well.
void CountRunsAtLeast(const std::uint64_t* w, std::size_t n, std::array<std::uint32_t, 6>& at_least) {
  std::uint64_t previous = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint64_t x = w[j], next = j + 1 < n ? w[j + 1] : 0;
    std::uint64_t c = x & ~((x >> 1) | (previous << 63));
    at_least[0] += static_cast<std::uint32_t>(std::popcount(c));
    for (int k = 1; k < 6; ++k) {
      c &= (x << k) | (next >> (64 - k));
      at_least[static_cast<std::size_t>(k)] += static_cast<std::uint32_t>(std::popcount(c));
    }
    previous = x & 1;
  }
}

int Bit(const std::uint8_t* block, std::size_t i) {
  return block[i / 8] >> (7 - i % 8) & 1;
}

// A run of 26 or more bits covers at least two whole bytes of equal value, 00 or FF; only
// around such pairs are the bits walked.
bool HasLongRun(const std::uint8_t* block) {
  unsigned candidates = 0;
  for (std::size_t i = 0; i + 1 < kFipsBlock; ++i)
    candidates |= (block[i] == block[i + 1]) & (static_cast<std::uint8_t>(block[i] + 1) <= 1);
  if (candidates == 0) return false;
  constexpr std::size_t kBits = kFipsBlock * 8;
  for (std::size_t i = 0; i + 1 < kFipsBlock; ++i) {
    if (block[i] != block[i + 1] || static_cast<std::uint8_t>(block[i] + 1) > 1) continue;
    const int value = block[i] & 1;
    std::size_t begin = i * 8, end = i * 8 + 16;
    while (begin > 0 && Bit(block, begin - 1) == value) --begin;
    while (end < kBits && Bit(block, end) == value) ++end;
    if (end - begin >= kLongRunBits) return true;
    i = end / 8 - 1;  // the next pair may begin with the byte where the run ended
  }
  return false;
}

}  // namespace

unsigned FipsBlockFailures(const std::uint8_t* block, std::array<std::uint64_t, 256>& histogram) {
  unsigned failed = 0;

  std::array<std::uint32_t, 256> counts{};
  for (std::size_t i = 0; i < kFipsBlock; ++i) ++counts[block[i]];
  for (std::size_t b = 0; b < 256; ++b) histogram[b] += counts[b];
  std::uint64_t ones = 0;
  std::array<std::uint64_t, 16> nibbles{};
  for (unsigned b = 0; b < 256; ++b) {
    ones += std::uint64_t{counts[b]} * static_cast<unsigned>(std::popcount(b));
    nibbles[b >> 4] += counts[b];
    nibbles[b & 15] += counts[b];
  }
  if (ones <= 9725 || ones >= 10275) failed |= 1u << kMonobit;
  std::uint64_t squares = 0;
  for (const std::uint64_t f : nibbles) squares += f * f;
  if (squares < kPokerLow || squares > kPokerHigh) failed |= 1u << kPoker;

  std::uint64_t words[kWords];
  for (std::size_t j = 0; j < kWords; ++j)
    words[j] = LoadBigEndian(block + 8 * j, std::min<std::size_t>(8, kFipsBlock - 8 * j));
  std::array<std::uint32_t, 6> ones_runs{}, zeros_runs{};
  CountRunsAtLeast(words, kWords, ones_runs);
  for (std::size_t j = 0; j < kWords; ++j) words[j] = ~words[j];
  words[kWords - 1] &= ~std::uint64_t{0} << (64 - 8 * (kFipsBlock % 8));
  CountRunsAtLeast(words, kWords, zeros_runs);
  for (std::size_t k = 0; k < 6; ++k) {
    const std::uint32_t z = zeros_runs[k] - (k < 5 ? zeros_runs[k + 1] : 0);
    const std::uint32_t o = ones_runs[k] - (k < 5 ? ones_runs[k + 1] : 0);
    const Interval in = kRunIntervals[k];
    if (z < in.low || z > in.high || o < in.low || o > in.high) failed |= 1u << kRuns;
  }
  if (HasLongRun(block)) failed |= 1u << kLongRun;
  return failed;
}

void FipsTests::TestBlock(const std::uint8_t* block) {
  unsigned failed = FipsBlockFailures(block, histogram_);
  for (std::size_t i = 0; i < kFipsBlock; i += 4) {
    if (std::memcmp(block + i, last_word_, 4) == 0) failed |= 1u << kContinuousRun;
    std::memcpy(last_word_, block + i, 4);
  }
  ++result_.blocks;
  if (failed == 0) {
    ++result_.successes;
  } else {
    ++result_.failures;
    for (std::size_t t = 0; t < kFipsTests; ++t) result_.test_failures[t] += failed >> t & 1;
  }
}

void FipsTests::Feed(const std::uint8_t* data, std::size_t size) {
  while (seed_size_ < 4 && size > 0) {
    ++histogram_[*data];
    last_word_[seed_size_++] = *data++;
    --size;
  }
  if (pending_size_ > 0) {
    const std::size_t n = std::min(size, kFipsBlock - pending_size_);
    std::memcpy(pending_.data() + pending_size_, data, n);
    pending_size_ += n;
    data += n;
    size -= n;
    if (pending_size_ < kFipsBlock) return;
    TestBlock(pending_.data());
    pending_size_ = 0;
  }
  for (; size >= kFipsBlock; data += kFipsBlock, size -= kFipsBlock) TestBlock(data);
  std::memcpy(pending_.data(), data, size);
  pending_size_ = size;
}

std::array<std::uint64_t, 256> FipsTests::Histogram() const {
  std::array<std::uint64_t, 256> counts = histogram_;
  for (std::size_t i = 0; i < pending_size_; ++i) ++counts[pending_[i]];
  return counts;
}

}  // namespace quality
