// SP 800-90B 6.3.5 (t-tuple) and 6.3.6 (longest repeated substring), both read off the longest
// common prefixes of neighbouring suffixes in sorted order: the tuples of length t that occur
// together are the runs of neighbours whose common prefix is at least t long.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numeric>

#include "quality/assessment_estimators.h"

namespace quality::estimators {
namespace {

// The samples packed as a bit stream, `width` bits each, most significant first; Key(i) is the
// suffix at i cut to its first `per_key` samples in one word (zeros past the end).
class PackedSamples {
 public:
  PackedSamples(std::span<const std::uint8_t> samples, unsigned width)
      : width_(width), per_key_(64 / width), mask_(~std::uint64_t{0} << (64 - per_key_ * width)) {
    words_.assign(samples.size() * width / 64 + 2, 0);
    std::uint64_t at = 0;
    for (const std::uint8_t s : samples) {
      const unsigned offset = at % 64;
      const std::uint64_t value = s;
      if (offset + width <= 64) {
        words_[at / 64] |= value << (64 - offset - width);
      } else {
        words_[at / 64] |= value >> (offset + width - 64);
        words_[at / 64 + 1] |= value << (128 - offset - width);
      }
      at += width;
    }
  }
  std::uint64_t Key(std::size_t i) const {
    const std::uint64_t at = std::uint64_t{i} * width_;
    const unsigned offset = at % 64;
    const std::uint64_t* w = &words_[at / 64];
    const std::uint64_t bits = offset == 0 ? w[0] : w[0] << offset | w[1] >> (64 - offset);
    return bits & mask_;
  }
  unsigned width() const { return width_; }
  unsigned per_key() const { return per_key_; }

 private:
  unsigned width_, per_key_;
  std::uint64_t mask_;
  std::vector<std::uint64_t> words_;
};

using Keyed = std::pair<std::uint64_t, std::uint32_t>;  // a sort key and a position

// Large groups by a stable radix sort of their keys' low `bits`, 11 at a time (a digit all keys
// share is passed over); small ones by comparison, ties going to the later position as in a
// radix sort from positions in falling order.
void SortKeyed(std::vector<Keyed>& keyed, unsigned bits, std::vector<Keyed>& spare) {
  if (keyed.size() < 1024) {
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
      return x.first < y.first || (x.first == y.first && x.second > y.second);
    });
    return;
  }
  constexpr unsigned kDigit = 11;
  spare.resize(keyed.size());
  for (unsigned shift = 0; shift < bits; shift += kDigit) {
    std::array<std::uint32_t, 1u << kDigit> count{};
    for (const Keyed& k : keyed) ++count[k.first >> shift & ((1u << kDigit) - 1)];
    if (std::find(count.begin(), count.end(), keyed.size()) != count.end()) continue;
    std::uint32_t start = 0;
    for (auto& c : count) start += std::exchange(c, start);
    for (const Keyed& k : keyed) spare[count[k.first >> shift & ((1u << kDigit) - 1)]++] = k;
    keyed.swap(spare);
  }
}

// The positions in order of their suffixes' first per_key samples, a suffix before its own
// extensions (the zeros past the end sort a short suffix no later than anything it is a prefix of;
// of equal keys, the later position is the shorter suffix). By the keys' top 16 bits into buckets,
// then each bucket by whole keys.
std::vector<std::uint32_t> SortByKey(const PackedSamples& packed, std::size_t n) {
  constexpr unsigned kShift = 48;
  std::vector<std::uint32_t> begin((std::size_t{1} << (64 - kShift)) + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++begin[(packed.Key(i) >> kShift) + 1];
  std::partial_sum(begin.begin(), begin.end(), begin.begin());
  std::vector<std::uint32_t> order(n), fill(begin.begin(), begin.end() - 1);
  for (std::size_t i = n; i-- > 0;) order[fill[packed.Key(i) >> kShift]++] = static_cast<std::uint32_t>(i);
  std::vector<Keyed> bucket, spare;
  for (std::size_t b = 0; b + 1 < begin.size(); ++b) {
    if (begin[b + 1] - begin[b] < 2) continue;
    bucket.clear();
    for (std::size_t r = begin[b]; r < begin[b + 1]; ++r) bucket.emplace_back(packed.Key(order[r]), order[r]);
    SortKeyed(bucket, kShift, spare);
    for (std::size_t r = begin[b]; r < begin[b + 1]; ++r) order[r] = bucket[r - begin[b]].second;
  }
  return order;
}

// Completes the order where some suffixes agree over a whole key, by prefix doubling on the groups
// still unsorted only (after Larsson and Sadakane): a group agreeing on its first h samples is
// sorted by the groups of the samples h further on. A group is named by its first place in the
// order, so refining one group keeps every name consistent with the order. Returns each
// position's place in the order.
std::vector<std::uint32_t> SortFully(const PackedSamples& packed, std::vector<std::uint32_t>& order) {
  const std::size_t n = order.size(), k = packed.per_key();
  std::vector<std::uint32_t> group(n);
  struct Range {
    std::size_t from, to;
  };
  std::vector<Range> open, next;
  const auto name_groups = [&](std::size_t from, std::size_t to, auto same) {
    for (std::size_t r = from; r < to;) {
      std::size_t end = r + 1;
      while (end < to && same(end)) ++end;
      for (std::size_t q = r; q < end; ++q) group[order[q]] = static_cast<std::uint32_t>(r);
      if (end - r > 1) next.push_back({r, end});
      r = end;
    }
  };
  name_groups(0, n, [&](std::size_t r) {
    const std::uint32_t a = order[r - 1], b = order[r];
    return packed.Key(a) == packed.Key(b) && n - a >= k && n - b >= k;
  });
  std::vector<Keyed> members, spare;
  const unsigned bits = static_cast<unsigned>(std::bit_width(n));
  for (std::size_t h = k; !next.empty(); h *= 2) {
    open.swap(next);
    next.clear();
    for (const Range& range : open) {
      members.clear();
      for (std::size_t r = range.from; r < range.to; ++r) {
        const std::uint32_t i = order[r];
        members.emplace_back(i + h < n ? group[i + h] + std::uint64_t{1} : 0, i);  // 0: nothing follows
      }
      SortKeyed(members, bits, spare);
      for (std::size_t r = range.from; r < range.to; ++r) order[r] = members[r - range.from].second;
      name_groups(range.from, range.to, [&](std::size_t r) {
        return members[r - range.from].first == members[r - 1 - range.from].first;
      });
    }
  }
  return group;
}

}  // namespace

std::vector<std::uint32_t> NeighbourPrefixes(std::span<const std::uint8_t> samples) {
  const std::size_t n = samples.size();
  if (n < 2) return {};
  const std::uint8_t top = *std::max_element(samples.begin(), samples.end());
  const PackedSamples packed(samples, std::max(1u, static_cast<unsigned>(std::bit_width(top))));
  std::vector<std::uint32_t> order = SortByKey(packed, n);
  const unsigned k = packed.per_key();
  // The common prefix of the suffixes at a and b beyond the first `from` samples, a key at a time;
  // `keys` counts the keys compared.
  const auto common = [&](std::size_t a, std::size_t b, std::size_t from, std::size_t& keys) {
    const std::size_t shorter = n - std::max(a, b);
    std::size_t m = from;
    while (m < shorter) {
      ++keys;
      const std::uint64_t differ = packed.Key(a + m) ^ packed.Key(b + m);
      if (differ != 0)
        return std::min(shorter, m + static_cast<unsigned>(std::countl_zero(differ)) / packed.width());
      m += k;
    }
    return shorter;
  };
  std::size_t keys = 0;
  bool sorted = true;  // no two neighbours agree over a whole key, so the order is final
  for (std::size_t r = 1; r < n && sorted; ++r) sorted = common(order[r - 1], order[r], 0, keys) < k;
  if (sorted) {
    // In place: the place of a pair's first suffix takes the pair's prefix.
    for (std::size_t r = 1, before = order[0]; r < n; ++r) {
      const std::size_t at = order[r];
      order[r - 1] = static_cast<std::uint32_t>(common(before, at, 0, keys));
      before = at;
    }
    order.pop_back();
    return order;
  }

  const std::vector<std::uint32_t> place = SortFully(packed, order);
  // Neighbours in order of the sorted suffixes read the samples where they lie, but a long common
  // prefix costs as many keys as it is long; past a budget, Kasai et al. instead (by position, each
  // prefix at most one shorter than the one before, so linear time whatever the repeats).
  std::vector<std::uint32_t> lcp(n - 1);
  keys = 0;
  std::size_t r = 1;
  for (; r < n && keys < 4 * n; ++r)
    lcp[r - 1] = static_cast<std::uint32_t>(common(order[r - 1], order[r], 0, keys));
  if (r == n) return lcp;
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t at = place[i];
    if (at == 0) {
      h = 0;
      continue;
    }
    h = common(i, order[at - 1], h, keys);
    lcp[at - 1] = static_cast<std::uint32_t>(h);
    if (h > 0) --h;
  }
  return lcp;
}

std::pair<Estimate, Estimate> TupleEstimates(std::span<const std::uint8_t> samples) {
  constexpr const char *kTuple = "t-Tuple", *kLrs = "LRS";
  const std::vector<std::uint32_t> lcp = NeighbourPrefixes(samples);
  const std::size_t n = samples.size();
  const std::uint32_t v = lcp.empty() ? 0 : *std::max_element(lcp.begin(), lcp.end());

  // Every run of neighbours agreeing on at least H samples, with the longer agreement P around it,
  // is the set of occurrences of one tuple of each length in (P, H]: `most[H]` keeps the largest
  // count per H, and the pairs among a run's occurrences go to the lengths P+1..H by differences.
  std::vector<std::uint64_t> most(v + 2, 1), pairs(v + 2, 0);
  struct Open {
    std::uint32_t height;
    std::size_t from;
  };
  std::vector<Open> open{{0, 0}};
  for (std::size_t r = 0; r <= lcp.size(); ++r) {
    const std::uint32_t h = r < lcp.size() ? lcp[r] : 0;
    std::size_t from = r;
    while (open.back().height > h) {
      const Open run = open.back();
      open.pop_back();
      const std::uint32_t around = std::max(h, open.back().height);
      const std::uint64_t count = r - run.from + 1;
      most[run.height] = std::max(most[run.height], count);
      pairs[around + 1] += count * (count - 1) / 2;
      pairs[run.height + 1] -= count * (count - 1) / 2;
      from = run.from;
    }
    if (open.back().height < h) open.push_back({h, from});
  }
  // Q[t] (the largest count of a t-tuple) and the pair counts per length t.
  for (std::uint32_t t = v; t >= 1; --t) most[t] = std::max(most[t], most[t + 1]);
  for (std::uint32_t t = 1; t <= v + 1; ++t) pairs[t] += pairs[t - 1];

  // The likeliest length's probability, its upper bound and the min-entropy of that.
  const auto finish = [n](Estimate& e, long double p_max, const char* p_name, std::vector<Figure> lead) {
    const long double p_u =
        std::min(1.0L, p_max + kZLong * std::sqrt(p_max * (1.0L - p_max) / static_cast<long double>(n - 1)));
    e.applicable = true;
    e.reason = "";
    e.min_entropy = static_cast<double>(-std::log2(p_u)) + 0.0;
    e.figures = std::move(lead);
    e.figures.push_back({p_name, static_cast<double>(p_max)});
    e.figures.push_back({"p_u", static_cast<double>(p_u)});
  };
  // t-tuple: the lengths whose likeliest tuple occurs at least 35 times.
  std::uint32_t u = 1;
  while (u <= v && most[u] >= 35) ++u;
  std::pair<Estimate, Estimate> result{
      NotApplicable(kTuple, "6.3.5", "no value occurs 35 times"),
      NotApplicable(kLrs, "6.3.6", "no repeat longer than the t-tuple length")};
  if (u > 1) {
    long double p_max = 0;
    for (std::uint32_t t = 1; t < u; ++t) {
      const long double p = static_cast<long double>(most[t]) / static_cast<long double>(n - t + 1);
      p_max = std::max(p_max, std::pow(p, 1.0L / t));
    }
    finish(result.first, p_max, "p-hat_max", {{"t", u - 1.0}});
  }
  // LRS: the lengths from u to the longest repeat, by the chance that two tuples agree.
  if (v >= u) {
    long double p_max = 0;
    for (std::uint32_t t = u; t <= v; ++t) {
      const std::uint64_t m = n - t + 1;
      const long double p = static_cast<long double>(pairs[t]) / static_cast<long double>(m * (m - 1) / 2);
      p_max = std::max(p_max, std::pow(p, 1.0L / t));
    }
    finish(result.second, p_max, "p-hat", {{"u", static_cast<double>(u)}, {"v", static_cast<double>(v)}});
  }
  return result;
}

}  // namespace quality::estimators
