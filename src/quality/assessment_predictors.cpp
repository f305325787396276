// The predictors of SP 800-90B 6.3.7 to 6.3.10: each predicts every sample from those before it
// and is judged by how often, and how many times in a row, it was right (FromPredictions).
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "quality/assessment_estimators.h"

namespace quality::estimators {
namespace {

struct Tally {
  std::uint64_t correct = 0, run = 0, longest = 0;
  void Right() {
    longest = std::max(longest, ++run);
    ++correct;
  }
  void Wrong() { run = 0; }
};

// One window of MultiMCW: the counts of its samples and the value seen most often in it, a tie
// going to the value seen last.
class Window {
 public:
  Window(std::size_t width, unsigned k) : width_(width), count_(k), last_(k) {}
  std::size_t width() const { return width_; }
  std::uint8_t frequent() const { return frequent_; }
  std::uint64_t score = 0;

  void Enter(std::size_t at, std::uint8_t in) {
    last_[in] = at;
    if (top_ <= ++count_[in]) {
      top_ = count_[in];
      frequent_ = in;
    }
  }
  void Slide(std::size_t at, std::uint8_t out, std::uint8_t in) {
    --count_[out];
    ++count_[in];
    last_[in] = at;
    if (out != frequent_) {
      if (top_ <= count_[in]) {
        top_ = count_[in];
        frequent_ = in;
      }
      return;
    }
    // The most frequent value lost one: look for its successor among all values.
    --top_;
    std::size_t newest = at - width_;
    for (std::size_t v = 0; v < count_.size(); ++v) {
      if (count_[v] > top_ || (count_[v] == top_ && last_[v] >= newest)) {
        top_ = count_[v];
        frequent_ = static_cast<std::uint8_t>(v);
        newest = last_[v];
      }
    }
  }

 private:
  std::size_t width_;
  std::vector<std::uint32_t> count_;
  std::vector<std::size_t> last_;
  std::uint32_t top_ = 0;
  std::uint8_t frequent_ = 0;
};

}  // namespace

Estimate MultiMcw(std::span<const std::uint8_t> s, unsigned k) {
  constexpr std::array<std::size_t, 4> kWidths{63, 255, 1023, 4095};
  const std::size_t n = s.size();
  if (n <= kWidths.back())
    return NotApplicable("MultiMCW Prediction", "6.3.7", "needs more than 4095 samples");
  std::vector<Window> windows;
  for (const std::size_t w : kWidths) windows.emplace_back(w, k);
  // Every window starts out filled with the first samples, as far as it reaches.
  for (std::size_t i = 0; i < kWidths.back(); ++i)
    for (Window& w : windows)
      if (i < w.width()) w.Enter(i, s[i]);
  std::size_t winner = 0;
  Tally tally;
  for (std::size_t i = kWidths.front(); i < n; ++i) {
    const std::uint8_t y = s[i];
    if (windows[winner].frequent() == y) {
      tally.Right();
    } else {
      tally.Wrong();
    }
    for (std::size_t j = 0; j < windows.size(); ++j) {
      if (i >= windows[j].width() && windows[j].frequent() == y &&
          ++windows[j].score >= windows[winner].score)
        winner = j;
    }
    for (Window& w : windows)
      if (i >= w.width()) w.Slide(i, s[i - w.width()], y);
  }
  return FromPredictions("MultiMCW Prediction", "6.3.7", tally.correct, n - kWidths.front(), tally.longest,
                         k);
}

Estimate Lag(std::span<const std::uint8_t> s, unsigned k) {
  constexpr std::size_t kLags = 128, kBlock = 64;
  const std::size_t n = s.size();
  if (n < 3) return NotApplicable("Lag Prediction", "6.3.8", "needs at least 3 samples");
  // Binary samples are also kept packed (bit t of word w is sample 64 w + t), so that whether 64
  // samples in a row equal those d + 1 before them takes one comparison of words.
  std::vector<std::uint64_t> words;
  if (k == 2) {
    words.assign(n / 64 + 2, 0);
    for (std::size_t i = 0; i < n; ++i) words[i / 64] |= std::uint64_t{s[i] & 1u} << (i % 64);
  }
  const auto run_from = [&words](std::size_t i) {
    const unsigned shift = i % 64;
    const std::uint64_t* w = &words[i / 64];
    return shift == 0 ? w[0] : w[0] >> shift | w[1] << (64 - shift);
  };

  std::array<std::uint32_t, kLags> score{};  // score[d]: right predictions of lag d + 1
  std::array<std::uint64_t, kLags> hits{};   // per block: bit t set when lag d + 1 is right at t
  std::vector<std::size_t> contenders;
  std::uint32_t high = 0;  // the best score so far
  std::size_t winner = 0;
  Tally tally;
  // Each right prediction raises a lag's score, and a score reaching the best makes its lag the
  // leader (of those reaching it together, the longest). A block of 64 predictions at a time: a lag
  // whose score cannot reach the best within the block only gets its block's count at the end.
  for (std::size_t start = 1; start < n; start += kBlock) {
    const std::size_t steps = std::min(kBlock, n - start);
    const std::uint64_t in_block = steps == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << steps) - 1;
    contenders.clear();
    for (std::size_t d = 0; d < kLags; ++d) {
      std::uint64_t h = 0;
      if (!words.empty() && start > d) {
        h = ~(run_from(start) ^ run_from(start - 1 - d));
      } else {
        for (std::size_t t = 0; t < steps; ++t) {
          const std::size_t i = start + t;
          if (i > d && s[i] == s[i - 1 - d]) h |= std::uint64_t{1} << t;
        }
      }
      hits[d] = h & in_block;
      if (score[d] + static_cast<unsigned>(std::popcount(hits[d])) >= high) contenders.push_back(d);
    }
    for (std::size_t t = 0; t < steps; ++t) {
      const std::size_t i = start + t;
      if (s[i - winner - 1] == s[i]) {
        tally.Right();
      } else {
        tally.Wrong();
      }
      for (const std::size_t d : contenders) {
        if ((hits[d] >> t & 1) != 0 && ++score[d] >= high) {
          high = score[d];
          winner = d;
        }
      }
    }
    for (std::size_t d = 0, c = 0; d < kLags; ++d) {
      if (c < contenders.size() && contenders[c] == d) {
        ++c;
      } else {
        score[d] += static_cast<unsigned>(std::popcount(hits[d]));
      }
    }
  }
  return FromPredictions("Lag Prediction", "6.3.8", tally.correct, n - 1, tally.longest, k);
}

namespace {

// The two predictors below count which value followed each context of 1 to 16 samples, in one
// of two models. A context is the latest samples (History); `order` o means o + 1 samples.
struct Prediction {
  std::uint8_t value;
  std::uint32_t count;
};

// Binary samples: a context is a number, and each length has an array of counts for 0 and 1.
class BinaryModel {
 public:
  struct History {
    std::uint32_t bits = 0;
    void Push(std::uint8_t y) { bits = bits << 1 | y; }
  };
  using Slot = std::uint32_t*;

  // Order o's pairs of counts start at 2^(o+2) - 4.
  explicit BinaryModel(std::span<const std::uint8_t>) : counts_((std::size_t{1} << 18) - 4) {}
  Slot Find(unsigned order, const History& h) {
    return &counts_[(std::size_t{4} << order) - 4 + ((h.bits & ((2u << order) - 1)) << 1)];
  }
  static bool Found(Slot s) { return (s[0] | s[1]) != 0; }
  static Prediction Predict(Slot s) {
    const bool one = s[1] >= s[0];
    return {static_cast<std::uint8_t>(one), one ? s[1] : s[0]};
  }
  static bool Increment(unsigned, Slot s, std::uint8_t y, bool may_add) {
    const std::uint32_t c = s[y];
    s[y] = c + (c != 0 || may_add);
    return c == 0 && may_add;
  }
  void Add(unsigned order, const History& h, std::uint8_t y) { Find(order, h)[y] = 1; }

 private:
  std::vector<std::uint32_t> counts_;
};

std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  return x ^ x >> 33;
}

// Slots of open addressing with linear probing, grown at half full: each holds 1 + the number of
// an entry kept elsewhere, or 0 when free.
class Slots {
 public:
  // The slot where `same` holds, or the free slot where the probe ends.
  template <typename Same>
  std::uint32_t& Probe(std::uint64_t hash, Same same) {
    for (std::size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i] == 0 || same(slots_[i] - 1)) return slots_[i];
  }
  bool Full(std::size_t entries) const { return 2 * (entries + 1) > slots_.size(); }
  // Twice the slots, every entry placed anew by its hash.
  template <typename HashOf>
  void Grow(std::size_t entries, HashOf hash_of) {
    slots_.assign(std::max<std::size_t>(16, 2 * slots_.size()), 0);
    for (std::uint32_t e = 0; e < entries; ++e)
      Probe(hash_of(e), [](std::uint32_t) { return false; }) = e + 1;
  }

 private:
  std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(16, 0);
};

// Samples of up to 8 bits: the contexts of one length in a hash table, each known by where it
// first ended in the samples. A context seen with a single successor so far keeps that one's
// count itself; from the second on, the counts are in a table of (context, value) pairs.
class HashedModel {
 public:
  struct History {
    std::uint64_t low = 0, high = 0;  // the latest 16 samples, the latest in the lowest byte
    std::size_t end = 0;              // samples pushed
    void Push(std::uint8_t y) {
      high = high << 8 | low >> 56;
      low = low << 8 | y;
      ++end;
    }
  };
  struct Node {
    std::uint32_t end;    // where the context first ended
    std::uint32_t count;  // of the value most often seen after it, a tie going to the larger
    std::uint8_t value;
    bool several;  // more than one value seen after it
  };
  using Slot = Node*;

  explicit HashedModel(std::span<const std::uint8_t> s) : s_(s) {}
  Slot Find(unsigned order, const History& h) {
    Order& o = orders_[order];
    const std::uint32_t slot = o.slots.Probe(Hash(order, h.low, h.high), [&](std::uint32_t e) {
      return std::memcmp(&s_[o.nodes[e].end - order - 1], &s_[h.end - order - 1], order + 1) == 0;
    });
    return slot == 0 ? nullptr : &o.nodes[slot - 1];
  }
  static bool Found(Slot s) { return s != nullptr; }
  static Prediction Predict(Slot s) { return {s->value, s->count}; }
  bool Increment(unsigned order, Slot s, std::uint8_t y, bool may_add) {
    Order& o = orders_[order];
    const std::uint32_t id = static_cast<std::uint32_t>(s - o.nodes.data());
    if (!s->several) {
      if (y == s->value) {
        ++s->count;
        return false;
      }
      if (!may_add) return false;
      s->several = true;
      o.pairs.Add(id, s->value, s->count);
      o.pairs.Add(id, y, 1);
      if (s->count == 1 && y > s->value) s->value = y;
      return true;
    }
    std::uint32_t count = 1;
    if (std::uint32_t* c = o.pairs.Find(id, y)) {
      count = ++*c;
    } else if (may_add) {
      o.pairs.Add(id, y, 1);
    } else {
      return false;
    }
    if (count > s->count || (count == s->count && y > s->value)) {
      s->count = count;
      s->value = y;
    }
    return count == 1;
  }
  void Add(unsigned order, const History& h, std::uint8_t y) {
    Order& o = orders_[order];
    if (o.slots.Full(o.nodes.size())) {
      o.slots.Grow(o.nodes.size(), [&](std::uint32_t e) { return HashAt(order, o.nodes[e].end); });
    }
    o.nodes.push_back({static_cast<std::uint32_t>(h.end), 1, y, false});
    o.slots.Probe(Hash(order, h.low, h.high), [](std::uint32_t) { return false; }) =
        static_cast<std::uint32_t>(o.nodes.size());
  }

 private:
  // Counts of (context, value) pairs, by 256 times the context's number plus the value.
  class Pairs {
   public:
    std::uint32_t* Find(std::uint32_t id, std::uint8_t y) {
      const std::uint32_t key = id << 8 | y;
      const std::uint32_t slot =
          slots_.Probe(Mix(key), [&](std::uint32_t e) { return entries_[e].first == key; });
      return slot == 0 ? nullptr : &entries_[slot - 1].second;
    }
    void Add(std::uint32_t id, std::uint8_t y, std::uint32_t count) {
      if (slots_.Full(entries_.size()))
        slots_.Grow(entries_.size(), [&](std::uint32_t e) { return Mix(entries_[e].first); });
      const std::uint32_t key = id << 8 | y;
      entries_.emplace_back(key, count);
      slots_.Probe(Mix(key), [](std::uint32_t) { return false; }) =
          static_cast<std::uint32_t>(entries_.size());
    }

   private:
    Slots slots_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries_;
  };
  struct Order {
    Slots slots;
    std::vector<Node> nodes;
    Pairs pairs;
  };
  static std::uint64_t Hash(unsigned order, std::uint64_t low, std::uint64_t high) {
    const unsigned bits = 8 * (order + 1);
    const auto keep = [](std::uint64_t w, unsigned b) {
      return b >= 64 ? w : w & ((std::uint64_t{1} << b) - 1);
    };
    return bits <= 64 ? Mix(keep(low, bits)) : Mix(low ^ Mix(keep(high, bits - 64)));
  }
  // The hash of the context of order + 1 samples ending before `end`, as History holds them.
  std::uint64_t HashAt(unsigned order, std::size_t end) const {
    std::uint64_t low = 0, high = 0;
    for (std::size_t i = end - order - 1; i < end; ++i) {
      high = high << 8 | low >> 56;
      low = low << 8 | s_[i];
    }
    return Hash(order, low, high);
  }

  std::span<const std::uint8_t> s_;
  std::array<Order, 16> orders_;
};

// 6.3.9: a Markov model of each order 1 to 16, each with at most 100,000 (context, value) pairs;
// the order right most often so far predicts.
template <typename Model>
Estimate RunMultiMmc(std::span<const std::uint8_t> s, unsigned k) {
  constexpr unsigned kOrders = 16;
  constexpr std::uint64_t kMaxPairs = 100000;
  const std::size_t n = s.size();
  Model model(s);
  std::array<std::uint64_t, kOrders> score{}, pairs{};
  // Each order's first context (at the start) is counted before the predictions begin.
  typename Model::History h;
  for (unsigned d = 0; d < kOrders && d + 1 < n; ++d) {
    h.Push(s[d]);
    model.Add(d, h, s[d + 1]);
    pairs[d] = 1;
  }
  h = {};
  h.Push(s[0]);
  h.Push(s[1]);
  unsigned winner = 0;
  std::uint64_t winner_score = 0;
  Tally tally;
  for (std::size_t i = 2; i < n; ++i) {
    const std::uint8_t y = s[i];
    const unsigned leader = winner;
    typename Model::Slot slot{};
    bool found = false;
    // A context never seen means that no longer one was seen either.
    for (unsigned d = 0; d < kOrders && d + 2 <= i; ++d) {
      if (d == 0 || found) {
        slot = model.Find(d, h);
        found = Model::Found(slot);
      }
      if (!found) {
        if (pairs[d] < kMaxPairs) {
          model.Add(d, h, y);
          ++pairs[d];
        }
        continue;
      }
      const bool right = Model::Predict(slot).value == y;
      score[d] += right;
      // (The winner's score kept at hand: right, the winner itself only gains.)
      if (right && score[d] >= winner_score) {
        winner = d;
        winner_score = score[d];
      }
      if (d == leader) {
        if (right) {
          tally.Right();
        } else {
          tally.Wrong();
        }
      }
      pairs[d] += model.Increment(d, slot, y, pairs[d] < kMaxPairs);
    }
    h.Push(y);
  }
  return FromPredictions("MultiMMC Prediction", "6.3.9", tally.correct, n - 2, tally.longest, k);
}

// 6.3.10: a dictionary of contexts of 1 to 16 samples, at most 65,536 of them in all; the context
// whose likeliest successor was seen most often predicts, the longest of equals.
template <typename Model>
Estimate RunLz78y(std::span<const std::uint8_t> s, unsigned k) {
  constexpr unsigned kLongest = 16;
  constexpr std::uint64_t kMaxContexts = 65536;
  const std::size_t n = s.size();
  Model model(s);
  typename Model::History h;
  for (unsigned j = 0; j < kLongest; ++j) h.Push(s[j]);
  for (unsigned j = 1; j <= kLongest; ++j) model.Add(j - 1, h, s[kLongest]);
  std::uint64_t contexts = kLongest;
  h.Push(s[kLongest]);
  Tally tally;
  for (std::size_t i = kLongest + 1; i < n; ++i) {
    const std::uint8_t y = s[i];
    Prediction best{0, 0};
    for (unsigned j = kLongest; j >= 1; --j) {
      const typename Model::Slot slot = model.Find(j - 1, h);
      if (Model::Found(slot)) {
        const Prediction p = Model::Predict(slot);
        if (p.count > best.count) best = p;
        model.Increment(j - 1, slot, y, true);
      } else if (contexts < kMaxContexts) {
        model.Add(j - 1, h, y);
        ++contexts;
      }
    }
    if (best.count > 0 && best.value == y) {
      tally.Right();
    } else {
      tally.Wrong();
    }
    h.Push(y);
  }
  return FromPredictions("LZ78Y Prediction", "6.3.10", tally.correct, n - kLongest - 1, tally.longest, k);
}

}  // namespace

Estimate MultiMmc(std::span<const std::uint8_t> s, unsigned k) {
  if (s.size() < 4) return NotApplicable("MultiMMC Prediction", "6.3.9", "needs at least 4 samples");
  return k == 2 ? RunMultiMmc<BinaryModel>(s, k) : RunMultiMmc<HashedModel>(s, k);
}

Estimate Lz78y(std::span<const std::uint8_t> s, unsigned k) {
  if (s.size() < 19) return NotApplicable("LZ78Y Prediction", "6.3.10", "needs at least 19 samples");
  return k == 2 ? RunLz78y<BinaryModel>(s, k) : RunLz78y<HashedModel>(s, k);
}

}  // namespace quality::estimators
