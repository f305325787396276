// SP 800-90B 5.2: the chi-square tests of independence and goodness of fit, and the test of the
// longest repeated substring, with the bins, degrees of freedom and edge cases of ea_iid.
#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <numeric>
#include <vector>

#include "quality/assessment_estimators.h"
#include "quality/iid_internal.h"
#include "quality/statistics.h"

namespace quality::iid {
namespace {

constexpr double kSignificance = 0.001;

std::vector<double> Proportions(std::span<const std::uint8_t> symbols, unsigned k) {
  std::vector<double> p(k, 0.0);
  for (const std::uint8_t s : symbols) p[s] += 1;
  for (double& x : p) x /= static_cast<double>(symbols.size());
  return p;
}

IidChiSquare Finish(const char* name, double statistic, int df) {
  IidChiSquare t;
  t.name = name;
  t.degrees_of_freedom = df;
  if (df > 0) {
    t.statistic = statistic;
    t.p_value = ChiSquareUpperTail(statistic, static_cast<unsigned>(df));
  }
  t.passed = t.p_value >= kSignificance;
  return t;
}

// Cells in increasing order of expectation (ties by cell number) are gathered into bins of an
// expectation of at least 5; a short last bin joins the one before it.
struct Bins {
  std::vector<double> expected;   // per bin
  std::vector<std::uint32_t> of;  // bin of each cell
};

Bins Gather(const std::vector<double>& cell_expectation) {
  std::vector<std::uint32_t> order(cell_expectation.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return cell_expectation[a] < cell_expectation[b];
  });
  Bins bins;
  bins.of.resize(cell_expectation.size());
  double current = 0;
  for (const std::uint32_t cell : order) {
    if (current >= 5.0) {
      bins.expected.push_back(current);
      current = 0;
    }
    bins.of[cell] = static_cast<std::uint32_t>(bins.expected.size());
    current += cell_expectation[cell];
  }
  if (!bins.expected.empty() && current < 5.0) {
    const auto last = static_cast<std::uint32_t>(bins.expected.size());
    for (std::uint32_t& b : bins.of)
      if (b == last) b = last - 1;
    bins.expected.back() += current;
  } else {
    bins.expected.push_back(current);
  }
  return bins;
}

double Pearson(const std::vector<double>& expected, const std::vector<std::uint64_t>& observed) {
  double t = 0;
  for (std::size_t b = 0; b < expected.size(); ++b) {
    const double d = static_cast<double>(observed[b]) - expected[b];
    t += d * d / expected[b];
  }
  return t;
}

IidChiSquare BinaryIndependence(std::span<const std::uint8_t> bits) {
  const std::size_t n = bits.size();
  const double p1 = static_cast<double>(std::count(bits.begin(), bits.end(), 1)) / static_cast<double>(n);
  const double p0 = 1.0 - p1;
  // The longest tuple whose rarest value is still expected 5 times among the n/m tuples.
  unsigned m = 11;
  for (; m > 1; --m)
    if (std::pow(std::min(p0, p1), m) * static_cast<double>(n / m) >= 5) break;
  if (m < 2) return Finish("chi-square independence", 0, 0);
  const std::size_t blocks = n / m;
  std::vector<std::uint64_t> observed(std::size_t{1} << m, 0);
  for (std::size_t b = 0; b < blocks; ++b) {
    unsigned tuple = 0;
    for (unsigned j = 0; j < m; ++j) tuple = tuple << 1 | bits[b * m + j];
    ++observed[tuple];
  }
  double t = 0;
  for (unsigned tuple = 0; tuple < observed.size(); ++tuple) {
    const auto w = static_cast<unsigned>(std::popcount(tuple));
    const double e = std::pow(p1, w) * std::pow(p0, m - w) * static_cast<double>(blocks);
    const double d = static_cast<double>(observed[tuple]) - e;
    t += d * d / e;
  }
  return Finish("chi-square independence", t, (1 << m) - 2);
}

IidChiSquare BinaryGoodnessOfFit(std::span<const std::uint8_t> bits) {
  const std::size_t n = bits.size();
  const std::size_t part = n / 10;
  if (part == 0) return Finish("chi-square goodness of fit", 0, 0);
  const double p = static_cast<double>(std::count(bits.begin(), bits.end(), 1)) / static_cast<double>(n);
  const double e1 = p * static_cast<double>(part), e0 = (1.0 - p) * static_cast<double>(part);
  double t = 0;
  for (std::size_t j = 0; j < 10; ++j) {
    const auto first = bits.begin() + static_cast<std::ptrdiff_t>(j * part);
    const auto o1 = static_cast<double>(std::count(first, first + static_cast<std::ptrdiff_t>(part), 1));
    const double o0 = static_cast<double>(part) - o1;
    t += (o0 - e0) * (o0 - e0) / e0 + (o1 - e1) * (o1 - e1) / e1;
  }
  return Finish("chi-square goodness of fit", t, 9);
}

}  // namespace

IidChiSquare Independence(std::span<const std::uint8_t> symbols, unsigned k) {
  if (k == 2) return BinaryIndependence(symbols);
  // Non-overlapping pairs against the product of the sample frequencies.
  const std::vector<double> p = Proportions(symbols, k);
  const double pairs = std::floor(static_cast<double>(symbols.size()) * 0.5);
  std::vector<double> cells(std::size_t{k} * k);
  for (unsigned a = 0; a < k; ++a)
    for (unsigned b = 0; b < k; ++b) cells[a * k + b] = p[a] * p[b] * pairs;
  const Bins bins = Gather(cells);
  std::vector<std::uint64_t> observed(bins.expected.size(), 0);
  for (std::size_t j = 0; j + 1 < symbols.size(); j += 2)
    ++observed[bins.of[symbols[j] * k + symbols[j + 1]]];
  return Finish("chi-square independence", Pearson(bins.expected, observed),
                static_cast<int>(bins.expected.size()) - static_cast<int>(k));
}

IidChiSquare GoodnessOfFit(std::span<const std::uint8_t> symbols, unsigned k) {
  if (k == 2) return BinaryGoodnessOfFit(symbols);
  // Each tenth of the data against the frequencies of the whole.
  const std::vector<double> p = Proportions(symbols, k);
  const std::size_t part = symbols.size() / 10;
  std::vector<double> cells(k);
  for (unsigned a = 0; a < k; ++a) cells[a] = p[a] * std::floor(static_cast<double>(symbols.size()) / 10.0);
  const Bins bins = Gather(cells);
  const int df = 9 * (static_cast<int>(bins.expected.size()) - 1);
  if (df <= 0) return Finish("chi-square goodness of fit", 0, df);
  double t = 0;
  for (std::size_t j = 0; j < 10; ++j) {
    std::vector<std::uint64_t> observed(bins.expected.size(), 0);
    for (const std::uint8_t s : symbols.subspan(j * part, part)) ++observed[bins.of[s]];
    t += Pearson(bins.expected, observed);
  }
  return Finish("chi-square goodness of fit", t, df);
}

IidLongestRepeat LongestRepeat(std::span<const std::uint8_t> symbols, unsigned k) {
  IidLongestRepeat t;
  const std::vector<double> p = Proportions(symbols, k);
  long double p_col = 0;
  for (const double x : p) p_col += static_cast<long double>(x) * x;
  t.p_col = static_cast<double>(p_col);
  const std::vector<std::uint32_t> lcp = estimators::NeighbourPrefixes(symbols);
  t.w = lcp.empty() ? 0 : *std::max_element(lcp.begin(), lcp.end());
  // A collision of length W is certain when every pair of samples collides, and there is always
  // one of length 0.
  if (p_col > 1.0L - LDBL_EPSILON || t.w == 0) return t;
  // Pr(X >= 1) = 1 - (1 - p_col^W)^N over the N pairs of the n - W + 1 overlapping W-tuples,
  // through logarithms: p_col^W can be far below the precision of 1 - p_col^W.
  const long double tuples = static_cast<long double>(symbols.size() - t.w + 1);
  const long double pairs = tuples * (tuples - 1) / 2;
  const long double log_none = pairs * std::log1p(-std::pow(p_col, static_cast<long double>(t.w)));
  t.probability = static_cast<double>(-std::expm1(log_none));
  t.passed = std::log(0.999L) >= log_none;
  return t;
}

}  // namespace quality::iid
