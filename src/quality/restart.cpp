// The restart tests: the sanity check's bound, worked out exactly, and the assessment of the rows
// and the columns of a restart matrix.
#include "quality/restart.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "quality/assessment_estimators.h"

namespace quality {
namespace {

// The distribution of a Poisson count of mean `mean` given that it is at most `count`.
std::vector<double> TruncatedPoisson(double mean, unsigned count, double& kept) {
  std::vector<double> pmf(count + 1, 0.0);
  if (mean <= 0) {
    pmf[0] = kept = 1;
    return pmf;
  }
  kept = 0;
  for (unsigned m = 0; m <= count; ++m) {
    pmf[m] = std::exp(m * std::log(mean) - mean - std::lgamma(m + 1.0));
    kept += pmf[m];
  }
  for (double& p : pmf) p /= kept;
  return pmf;
}

// The distribution of a sum, cut at `most`.
std::vector<double> Convolve(const std::vector<double>& a, const std::vector<double>& b, std::size_t most) {
  std::vector<double> sum(std::min(a.size() + b.size() - 1, most + 1), 0.0);
  for (std::size_t i = 0; i < a.size() && i < sum.size(); ++i)
    if (a[i] != 0)
      for (std::size_t j = 0; j < b.size() && i + j < sum.size(); ++j) sum[i + j] += a[i] * b[j];
  return sum;
}

// The distribution of the sum of `times` independent copies, cut at `most`.
std::vector<double> Power(std::vector<double> base, unsigned times, std::size_t most) {
  std::vector<double> result{1.0};
  for (; times != 0; times >>= 1) {
    if (times & 1) result = Convolve(result, base, most);
    if (times > 1) base = Convolve(base, base, most);
  }
  return result;
}

}  // namespace

double LargestCountProbability(unsigned count, unsigned n, unsigned k, double h_initial) {
  if (count >= n) return 1;
  if (k == 0 || static_cast<std::uint64_t>(count) * k < n) return 0;
  // The worst case: `top` values of probability p, the rest shared by the others.
  const double p = std::exp2(-h_initial);
  const double most_at_p = std::floor(1 / p);
  unsigned top = k;
  double p_top = 1.0 / k, p_rest = 0;
  if (most_at_p < k) {
    top = static_cast<unsigned>(most_at_p);
    p_top = p;
    p_rest = std::max(0.0, 1 - p * top) / (k - top);
  }
  // A multinomial's counts are independent Poisson counts of total mean n given that they sum to
  // n (Levin, 1981): P(max <= c) = n! / (n^n e^-n) * prod P(Y_i <= c) * P(sum of the Y_i cut at c = n).
  double kept_top = 0, kept_rest = 1;
  const std::vector<double> one_top = TruncatedPoisson(n * p_top, count, kept_top);
  std::vector<double> sum = Power(one_top, top, n);
  if (top < k) {
    const std::vector<double> one_rest = TruncatedPoisson(n * p_rest, count, kept_rest);
    sum = Convolve(sum, Power(one_rest, k - top, n), n);
  }
  if (sum.size() <= n) return 0;
  const double log_scale = std::lgamma(n + 1.0) - n * std::log(static_cast<double>(n)) + n;
  const double log_kept = top * std::log(kept_top) + (k - top) * std::log(kept_rest);
  return std::clamp(std::exp(log_scale + log_kept) * sum[n], 0.0, 1.0);
}

unsigned LargestCountCutoff(double alpha, unsigned n, unsigned k, double h_initial) {
  unsigned low = k == 0 ? n : (n + k - 1) / k, high = n;  // the probability reaches 1 at n
  while (low < high) {
    const unsigned middle = low + (high - low) / 2;
    if (LargestCountProbability(middle, n, k, h_initial) >= 1 - alpha) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

namespace {

// The largest count of one value among `count` symbols.
unsigned LargestCount(const std::uint8_t* first, std::size_t count) {
  std::array<unsigned, 256> counts{};
  unsigned largest = 0;
  for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, ++counts[first[i]]);
  return largest;
}

}  // namespace

RestartResult AssessRestarts(std::span<const std::uint8_t> matrix, unsigned bits, double h_initial,
                             const AssessOptions& options) {
  RestartResult r;
  r.bits = bits;
  r.h_initial = h_initial;
  r.columns = kRestartColumns;
  if (matrix.size() % kRestartColumns != 0 || matrix.size() < 2 * kRestartColumns) return r;
  r.rows = matrix.size() / kRestartColumns;
  const std::vector<std::uint8_t> rows = estimators::NumberedSamples(matrix, bits, r.distinct);
  r.alpha = 1 - std::pow(0.99, 1.0 / static_cast<double>(r.rows + r.columns));
  if (r.distinct < 2) return r;  // one value: no entropy, nothing to validate

  std::vector<std::uint8_t> columns(rows.size());
  for (std::size_t i = 0; i < r.rows; ++i) {
    for (std::size_t j = 0; j < r.columns; ++j) columns[j * r.rows + i] = rows[i * r.columns + j];
    r.largest_row = std::max(r.largest_row, LargestCount(&rows[i * r.columns], r.columns));
  }
  for (std::size_t j = 0; j < r.columns; ++j)
    r.largest_column = std::max(r.largest_column, LargestCount(&columns[j * r.rows], r.rows));
  // Rows and columns have the same length only in the square matrix SP 800-90B asks for; each
  // count is bounded for its own length.
  const unsigned row_cutoff =
      LargestCountCutoff(r.alpha, static_cast<unsigned>(r.columns), r.distinct, h_initial);
  const unsigned column_cutoff =
      r.rows == r.columns ? row_cutoff
                          : LargestCountCutoff(r.alpha, static_cast<unsigned>(r.rows), r.distinct, h_initial);
  r.cutoff = row_cutoff;
  r.sanity_passed = r.largest_row <= row_cutoff && r.largest_column <= column_cutoff;
  if (!r.sanity_passed) return r;

  const auto [on_rows, on_columns] = estimators::SampleEstimates(rows, columns, r.distinct, options);
  r.h_rows = r.h_columns = bits;
  for (std::size_t i = 0; i < on_rows.size(); ++i) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    RestartEstimate e{on_rows[i].name, on_rows[i].applicable ? on_rows[i].min_entropy : nan,
                      on_columns[i].applicable ? on_columns[i].min_entropy : nan};
    if (!std::isnan(e.rows)) r.h_rows = std::min(r.h_rows, e.rows);
    if (!std::isnan(e.columns)) r.h_columns = std::min(r.h_columns, e.columns);
    r.estimates.push_back(e);
  }
  r.validated = std::min(r.h_rows, r.h_columns) >= h_initial / 2;
  if (r.validated) r.h_min = std::min({r.h_rows, r.h_columns, h_initial});
  return r;
}

}  // namespace quality
