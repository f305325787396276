// The restart tests of NIST SP 800-90B 3.1.4 on a restart matrix: rows are restarts of the noise
// source, columns the sample positions after each restart, stored row after row.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quality/assessment.h"

namespace quality {

// The samples after each restart.
inline constexpr std::size_t kRestartColumns = 1000;

// The chance that no value occurs more than `count` times among `n` samples drawn from the worst
// case an initial entropy of `h_initial` bits per sample allows over `k` values: as many values as
// can have the largest probability 2^-h_initial have it, the rest of the mass is shared by the
// others. A claim above log2(k) leaves only the uniform distribution over the k values. Worked
// out exactly (a multinomial's largest count), not simulated.
double LargestCountProbability(unsigned count, unsigned n, unsigned k, double h_initial);

// The sanity check's cut-off (3.1.4.3): the smallest count that a row or column of `n` samples
// exceeds with a chance of at most `alpha`.
unsigned LargestCountCutoff(double alpha, unsigned n, unsigned k, double h_initial);

struct RestartEstimate {
  const char* name = "";
  double rows = 0;     // bits per sample on the row data set; NaN when not applicable
  double columns = 0;  // on the column data set
};

struct RestartResult {
  unsigned bits = 0;
  std::size_t rows = 0;     // restarts
  std::size_t columns = 0;  // samples per restart
  unsigned distinct = 0;
  double h_initial = 0;
  double alpha = 0;          // per row and column: 1 - 0.99^(1 / (rows + columns))
  unsigned cutoff = 0;       // the largest count allowed in a row or column
  unsigned largest_row = 0;  // the largest count of one value in a row
  unsigned largest_column = 0;
  bool sanity_passed = false;
  // The estimates on the row and the column data sets (3.1.4.2), only after a passed sanity
  // check: the samples' own estimators, and those for bit strings when the samples are binary.
  std::vector<RestartEstimate> estimates;
  double h_rows = 0, h_columns = 0;  // the minima, at most `bits`
  bool validated = false;            // the sanity check passed and min(h_rows, h_columns) >= h_initial / 2
  double h_min = 0;                  // min(h_rows, h_columns, h_initial) when validated, else 0
};

// `matrix` holds whole rows of kRestartColumns samples (each byte's low `bits` bits). Fewer than two
// rows, or a length that is not a whole number of rows, is refused with an empty result (rows 0).
RestartResult AssessRestarts(std::span<const std::uint8_t> matrix, unsigned bits, double h_initial,
                             const AssessOptions& options = {});

}  // namespace quality
