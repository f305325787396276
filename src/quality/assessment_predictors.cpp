// The predictors of SP 800-90B 6.3.7 to 6.3.10: each predicts every sample from those before it
// and is judged by how often, and how many times in a row, it was right (FromPredictions).
#include <algorithm>
#include <array>
#include <bit>

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
  BinaryModel() : counts_((std::size_t{1} << 18) - 4) {}
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

// Open addressing with linear probing, grown at half full.
template <typename Key, typename Value, typename Hash>
class FlatMap {
 public:
  Value* Find(const Key& key) {
    if (entries_.empty()) return nullptr;
    for (std::size_t i = Hash{}(key) & (entries_.size() - 1);; i = (i + 1) & (entries_.size() - 1)) {
      Entry& e = entries_[i];
      if (!e.used) return nullptr;
      if (e.key == key) return &e.value;
    }
  }
  void Insert(const Key& key, const Value& value) {
    if (2 * (size_ + 1) > entries_.size()) Grow();
    Place(key, value);
    ++size_;
  }

 private:
  struct Entry {
    Key key{};
    Value value{};
    bool used = false;
  };
  void Place(const Key& key, const Value& value) {
    std::size_t i = Hash{}(key) & (entries_.size() - 1);
    while (entries_[i].used) i = (i + 1) & (entries_.size() - 1);
    entries_[i] = {key, value, true};
  }
  void Grow() {
    std::vector<Entry> old(std::max<std::size_t>(16, 2 * entries_.size()));
    old.swap(entries_);
    for (const Entry& e : old)
      if (e.used) Place(e.key, e.value);
  }
  std::vector<Entry> entries_;
  std::size_t size_ = 0;
};

std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  return x ^ x >> 33;
}

// Samples of up to 8 bits: a context is up to 16 bytes in two words, each length a hash table of
// contexts, with the counts of what followed them in one table of (context, value) pairs.
class HashedModel {
 public:
  struct History {
    std::uint64_t low = 0, high = 0;  // the latest sample in the lowest byte
    void Push(std::uint8_t y) {
      high = high << 8 | low >> 56;
      low = low << 8 | y;
    }
  };
  struct Context {
    std::uint64_t low, high;
    bool operator==(const Context&) const = default;
  };
  struct Node {
    std::uint32_t id;     // number of the context, for its pairs
    std::uint32_t count;  // of the value most often seen after it, a tie going to the larger
    std::uint8_t value;
  };
  using Slot = Node*;

  Slot Find(unsigned order, const History& h) { return contexts_[order].Find(Cut(order, h)); }
  static bool Found(Slot s) { return s != nullptr; }
  static Prediction Predict(Slot s) { return {s->value, s->count}; }
  bool Increment(unsigned order, Slot s, std::uint8_t y, bool may_add) {
    const std::uint32_t pair = s->id << 8 | y;
    std::uint32_t count = 1;
    bool added = false;
    if (std::uint32_t* c = pairs_[order].Find(pair)) {
      count = ++*c;
    } else if (may_add) {
      pairs_[order].Insert(pair, 1);
      added = true;
    } else {
      return false;
    }
    if (count > s->count || (count == s->count && y > s->value)) *s = {s->id, count, y};
    return added;
  }
  void Add(unsigned order, const History& h, std::uint8_t y) {
    contexts_[order].Insert(Cut(order, h), {next_id_, 1, y});
    pairs_[order].Insert(next_id_++ << 8 | y, 1);
  }

 private:
  static Context Cut(unsigned order, const History& h) {
    const unsigned bits = 8 * (order + 1);
    const auto keep = [](std::uint64_t w, unsigned b) {
      return b >= 64 ? w : w & ((std::uint64_t{1} << b) - 1);
    };
    return bits <= 64 ? Context{keep(h.low, bits), 0} : Context{h.low, keep(h.high, bits - 64)};
  }
  struct ContextHash {
    std::size_t operator()(const Context& c) const { return Mix(c.low ^ Mix(c.high)); }
  };
  struct PairHash {
    std::size_t operator()(std::uint32_t p) const { return Mix(p); }
  };
  std::array<FlatMap<Context, Node, ContextHash>, 16> contexts_;
  std::array<FlatMap<std::uint32_t, std::uint32_t, PairHash>, 16> pairs_;
  std::uint32_t next_id_ = 0;  // below 2^24: at most 16 x 100,000 contexts
};

// 6.3.9: a Markov model of each order 1 to 16, each with at most 100,000 (context, value) pairs;
// the order right most often so far predicts.
template <typename Model>
Estimate RunMultiMmc(std::span<const std::uint8_t> s, unsigned k) {
  constexpr unsigned kOrders = 16;
  constexpr std::uint64_t kMaxPairs = 100000;
  const std::size_t n = s.size();
  Model model;
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
      winner = right && score[d] >= score[winner] ? d : winner;
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
  Model model;
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
