// The byte statistics of a file as `ent` reports them (entropy, chi-square with its
// probability, mean, Monte Carlo pi, serial correlation), plus the most-common-value
// min-entropy estimate of NIST SP 800-90B 6.3.1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quality {

struct Statistics {
  std::uint64_t bytes = 0;
  double entropy = 0;             // bits per byte
  double chi_square = 0;          // against the uniform distribution, 255 degrees of freedom
  double chi_square_percent = 0;  // how often a random file would exceed it, in percent
  double mean = 0;                // arithmetic mean of the bytes
  double monte_carlo_pi = 0;      // NaN without a single 6-byte point
  double monte_carlo_error_percent = 0;
  bool serial_defined = false;  // false when all bytes are equal
  double serial_correlation = 0;
  double min_entropy_mcv = 0;  // bits per byte
  std::uint64_t mcv_samples = 0;
};

// Upper tail probability of the chi-square distribution: P(X >= x) for `df` degrees of freedom.
double ChiSquareUpperTail(double x, unsigned df);

// Everything but the byte counts, which the caller keeps once for all checks.
class ByteStatistics {
 public:
  void Feed(const std::uint8_t* data, std::size_t size);
  Statistics Finish(const std::array<std::uint64_t, 256>& histogram) const;

 private:
  std::uint64_t bytes_ = 0;
  std::uint8_t first_ = 0, last_ = 0;
  std::uint64_t neighbour_products_ = 0;  // sum of each byte times the one before it
  std::uint8_t point_[6] = {};            // the Monte Carlo point being filled
  std::size_t point_size_ = 0;
  std::uint64_t points_ = 0, points_inside_ = 0;
};

}  // namespace quality
