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
std::uint64_t LoadBigEndian(const std::uint8_t* bytes) {
  std::uint8_t b[8];
  std::memcpy(b, bytes, 8);
  return std::uint64_t{b[0]} << 56 | std::uint64_t{b[1]} << 48 | std::uint64_t{b[2]} << 40 |
         std::uint64_t{b[3]} << 32 | std::uint64_t{b[4]} << 24 | std::uint64_t{b[5]} << 16 |
         std::uint64_t{b[6]} << 8 | b[7];
}

struct RunCounts {
  std::uint32_t at_least[2][6] = {};  // [bit value][k - 1]: runs of length >= k
};

// Counts the runs in the stream of `n` words (followed by a word of 0), whose last word holds
// `last_bits` bits. A run of length >= k starts where a bit differs from the one before it (or
// opens the stream) and the k - 1 bits after it equal it. The zeros' masks are the complements
// of the ones' shifted words, so one set of shifts serves both: twelve population counts per
// word. The words between the first and the last two carry no state from one to the next and
// keep their counts in twelve plain variables, so that the compiler vectorises the loop where
// the processor counts bits in vectors.
[[gnu::always_inline]] inline RunCounts CountRunsBody(const std::uint64_t* w, std::size_t n,
                                                      unsigned last_bits) {
  std::uint32_t o0 = 0, o1 = 0, o2 = 0, o3 = 0, o4 = 0, o5 = 0;
  std::uint32_t z0 = 0, z1 = 0, z2 = 0, z3 = 0, z4 = 0, z5 = 0;
  const auto bits = [](std::uint64_t x) { return static_cast<std::uint32_t>(std::popcount(x)); };
  for (std::size_t j = 1; j + 2 < n; ++j) {
    const std::uint64_t x = w[j], next = w[j + 1], before = (x >> 1) | (w[j - 1] << 63);
    std::uint64_t co = x & ~before, cz = ~x & before;
    const auto step = [&](int k, std::uint32_t& ones, std::uint32_t& zeros) {
      const std::uint64_t shifted = (x << k) | (next >> (64 - k));  // bit i + k at i
      co &= shifted;
      cz &= ~shifted;
      ones += bits(co);
      zeros += bits(cz);
    };
    o0 += bits(co);
    z0 += bits(cz);
    step(1, o1, z1);
    step(2, o2, z2);
    step(3, o3, z3);
    step(4, o4, z4);
    step(5, o5, z5);
  }
  RunCounts r{{{z0, z1, z2, z3, z4, z5}, {o0, o1, o2, o3, o4, o5}}};
  // The first word (before it: a bit unlike the first for either value) and the last two, whose
  // bits beyond the stream's end belong to no run.
  const auto edge = [&](std::uint64_t x, std::uint64_t next, std::uint64_t before_one,
                        std::uint64_t before_zero, std::uint64_t valid, std::uint64_t valid_next) {
    std::uint64_t co = x & ~((x >> 1) | (before_one << 63));
    std::uint64_t cz = ~x & valid & ((x >> 1) | (before_zero << 63));
    r.at_least[1][0] += bits(co);
    r.at_least[0][0] += bits(cz);
    for (int k = 1; k < 6; ++k) {
      const std::uint64_t shifted = (x << k) | (next >> (64 - k));
      co &= shifted;
      cz &= ~shifted & ((valid << k) | (valid_next >> (64 - k)));  // no zero continues past the end
      r.at_least[1][k] += bits(co);
      r.at_least[0][k] += bits(cz);
    }
  };
  constexpr std::uint64_t kAll = ~std::uint64_t{0};
  const std::uint64_t last = kAll << (64 - last_bits);
  edge(w[0], w[1], 0, 1, kAll, kAll);
  edge(w[n - 2], w[n - 1], w[n - 3], w[n - 3], kAll, last);
  edge(w[n - 1], 0, w[n - 2], w[n - 2], last, 0);
  return r;
}

// Counting bits in software is several times slower than the processor's instruction, and
// counting them in vectors several times faster again: a copy of the loop for each, chosen once
// by what the processor offers. Not on Windows, where GCC cannot keep the stack aligned for the
// wide vectors it would spill there.
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
[[gnu::target("popcnt,avx512f,avx512vl,avx512vpopcntdq")]] RunCounts CountRunsVector(const std::uint64_t* w,
                                                                                     std::size_t n,
                                                                                     unsigned last_bits) {
  return CountRunsBody(w, n, last_bits);
}
[[gnu::target("popcnt")]] RunCounts CountRunsPopcnt(const std::uint64_t* w, std::size_t n,
                                                    unsigned last_bits) {
  return CountRunsBody(w, n, last_bits);
}
RunCounts CountRunsPortable(const std::uint64_t* w, std::size_t n, unsigned last_bits) {
  return CountRunsBody(w, n, last_bits);
}
RunCounts CountRuns(const std::uint64_t* w, std::size_t n, unsigned last_bits) {
  static const auto chosen = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("avx512vl"))
      return &CountRunsVector;
    return __builtin_cpu_supports("popcnt") ? &CountRunsPopcnt : &CountRunsPortable;
  }();
  return chosen(w, n, last_bits);
}
#else
RunCounts CountRuns(const std::uint64_t* w, std::size_t n, unsigned last_bits) {
  return CountRunsBody(w, n, last_bits);
}
#endif

int Bit(const std::uint8_t* block, std::size_t i) {
  return block[i / 8] >> (7 - i % 8) & 1;
}

// A run of 26 or more bits covers at least two whole bytes of equal value, 00 or FF; only
// around such pairs are the bits walked.
bool HasLongRun(const std::uint8_t* block) {
  constexpr std::size_t kBits = kFipsBlock * 8, kSpan = 64;
  for (std::size_t span = 0; span + 1 < kFipsBlock; span += kSpan) {
    const std::size_t end_pair = std::min(span + kSpan, kFipsBlock - 1);
    std::uint8_t candidates = 0;
    for (std::size_t i = span; i < end_pair; ++i) {  // vectorised
      const std::uint8_t a = block[i], b = block[i + 1];
      candidates |= static_cast<std::uint8_t>((a == b) & (static_cast<std::uint8_t>(a + 1) < 2));
    }
    for (std::size_t i = span; candidates != 0 && i < end_pair; ++i) {
      if (block[i] != block[i + 1] || static_cast<std::uint8_t>(block[i] + 1) > 1) continue;
      const int value = block[i] & 1;
      std::size_t begin = i * 8, end = i * 8 + 16;
      while (begin > 0 && Bit(block, begin - 1) == value) --begin;
      while (end < kBits && Bit(block, end) == value) ++end;
      if (end - begin >= kLongRunBits) return true;
      i = end / 8 - 1;  // the next pair may begin with the byte where the run ended
    }
  }
  return false;
}

}  // namespace

unsigned FipsBlockFailures(const std::uint8_t* block, std::array<std::uint64_t, 256>& histogram,
                           bool after_one) {
  const bool starts_with_one = (block[0] & 0x80) != 0;
  unsigned failed = 0;

  // Four tables in turn, so that a repeated byte does not wait for its own last count.
  std::uint16_t tables[4][256] = {};  // at most 625 each
  for (std::size_t i = 0; i < kFipsBlock; i += 4) {
    ++tables[0][block[i]];
    ++tables[1][block[i + 1]];
    ++tables[2][block[i + 2]];
    ++tables[3][block[i + 3]];
  }
  // Byte b = 16 h + l counts once for nibble h and once for nibble l. Row by row, so that no sum
  // waits for the one before it.
  std::array<std::uint64_t, 16> nibbles{};
  for (std::size_t h = 0; h < 16; ++h) {
    std::uint32_t row = 0;
    for (std::size_t l = 0; l < 16; ++l) {  // vectorised
      const std::size_t b = 16 * h + l;
      const std::uint32_t count = std::uint32_t{tables[0][b]} + tables[1][b] + tables[2][b] + tables[3][b];
      histogram[b] += count;
      nibbles[l] += count;
      row += count;
    }
    nibbles[h] += row;
  }
  std::uint64_t ones = 0;
  for (unsigned n = 0; n < 16; ++n) ones += nibbles[n] * static_cast<unsigned>(std::popcount(n));
  if (ones <= 9725 || ones >= 10275) failed |= 1u << kMonobit;
  nibbles[15] += after_one && !starts_with_one;
  std::uint64_t squares = 0;
  for (const std::uint64_t f : nibbles) squares += f * f;
  if (squares < kPokerLow || squares > kPokerHigh) failed |= 1u << kPoker;

  static_assert(kFipsBlock % 8 == 4);
  std::uint64_t words[kWords + 1];
  for (std::size_t j = 0; j + 1 < kWords; ++j) words[j] = LoadBigEndian(block + 8 * j);
  std::uint8_t last[8] = {};
  std::memcpy(last, block + kFipsBlock - 4, 4);
  words[kWords - 1] = LoadBigEndian(last);
  words[kWords] = 0;
  const RunCounts runs = CountRuns(words, kWords, 32);
  std::uint32_t counts[2][6];  // [bit value][length - 1], the last for 6 or more
  for (std::size_t v = 0; v < 2; ++v) {
    for (std::size_t k = 0; k < 6; ++k)
      counts[v][k] = runs.at_least[v][k] - (k < 5 ? runs.at_least[v][k + 1] : 0);
  }
  // rngtest counts a run when a differing bit ends it, with counts that start afresh in each
  // block but a bit value carried over from the block before (0 before the first). A block's last
  // run it counts among the runs of the other bit value, and a block that begins with a 1 after a
  // 0 counts one run of six ones or more that it does not hold. Counted the same here, so that
  // the failure counts stay equal to rngtest's.
  const auto tail = static_cast<std::uint32_t>(words[kWords - 1] >> 32);
  const std::size_t last_bit = tail & 1;
  const auto tail_length =
      static_cast<std::size_t>(last_bit != 0 ? std::countr_one(tail) : std::countr_zero(tail));
  const std::size_t tail_bin = std::min<std::size_t>(tail_length, 6) - 1;
  --counts[last_bit][tail_bin];
  ++counts[1 - last_bit][tail_bin];
  counts[1][5] += !after_one && starts_with_one;
  for (const auto& per_length : counts) {
    for (std::size_t k = 0; k < 6; ++k) {
      if (per_length[k] < kRunIntervals[k].low || per_length[k] > kRunIntervals[k].high)
        failed |= 1u << kRuns;
    }
  }
  if (HasLongRun(block)) failed |= 1u << kLongRun;
  return failed;
}

void FipsTests::TestBlock(const std::uint8_t* block) {
  const bool after_one = result_.blocks > 0 && (last_word_[3] & 1) != 0;
  unsigned failed = FipsBlockFailures(block, histogram_, after_one);
  bool repeated = std::memcmp(block, last_word_, 4) == 0;
  for (std::size_t i = 4; i < kFipsBlock; i += 4) {  // vectorised: no state from word to word
    std::uint32_t word, previous;
    std::memcpy(&word, block + i, 4);
    std::memcpy(&previous, block + i - 4, 4);
    repeated |= word == previous;
  }
  std::memcpy(last_word_, block + kFipsBlock - 4, 4);
  if (repeated) failed |= 1u << kContinuousRun;
  ++result_.blocks;
  if (failed == 0) {
    ++result_.successes;
  } else {
    ++result_.failures;
    for (std::size_t t = 0; t < kFipsTests; ++t) result_.test_failures[t] += failed >> t & 1;
  }
}

void FipsTests::Feed(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;  // an empty piece may come without a buffer, which memcpy must not see
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
