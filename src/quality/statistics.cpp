#include "quality/statistics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace quality {
namespace {

// A Monte Carlo point: two 24-bit coordinates, most significant byte first, inside the circle
// of radius 2^24 - 1 around the origin.
constexpr std::uint64_t kRadius = (1u << 24) - 1;

std::uint64_t Coordinate(const std::uint8_t* b) {
  return std::uint64_t{b[0]} << 16 | std::uint64_t{b[1]} << 8 | b[2];
}

bool Inside(const std::uint8_t* p) {
  const std::uint64_t x = Coordinate(p), y = Coordinate(p + 3);
  return x * x + y * y <= kRadius * kRadius;
}

// By the coordinates' high bytes alone almost every point is inside or outside whatever its
// low bytes: 1 inside, 0 outside, 2 decided by the whole coordinates (about 0.6 % of cells).
const std::array<std::uint8_t, 65536>& CellTable() {
  static const std::array<std::uint8_t, 65536> table = [] {
    std::array<std::uint8_t, 65536> t{};
    constexpr std::uint64_t r2 = kRadius * kRadius;
    for (std::uint64_t a = 0; a < 256; ++a) {
      for (std::uint64_t b = 0; b < 256; ++b) {
        const std::uint64_t low = (a * a + b * b) << 32, ax = a << 16 | 0xFFFF, bx = b << 16 | 0xFFFF;
        t[static_cast<std::size_t>(a << 8 | b)] = ax * ax + bx * bx <= r2 ? 1 : low > r2 ? 0 : 2;
      }
    }
    return t;
  }();
  return table;
}

std::uint64_t PointsInside(const std::uint8_t* data, std::size_t points) {
  const auto& cells = CellTable();
  std::uint64_t inside = 0;
  for (std::size_t k = 0; k < points; ++k) {
    const std::uint8_t* p = data + 6 * k;
    const std::uint8_t cell = cells[static_cast<std::size_t>(p[0]) << 8 | p[3]];
    inside += cell == 2 ? std::uint64_t{Inside(p)} : std::uint64_t{cell};
  }
  return inside;
}

}  // namespace

double ChiSquareUpperTail(double x, unsigned df) {
  // Closed form for whole degrees of freedom: the even case is a Poisson sum, the odd one twice
  // the normal tail at sqrt(x) plus a sum of half-integer terms. Terms are formed as logarithms so
  // that large x and df neither overflow nor underflow on the way.
  if (!(x > 0) || df < 1) return 1.0;
  const double a = 0.5 * x;
  const bool even = df % 2 == 0;
  double sum = even ? std::exp(-a) : std::erfc(std::sqrt(a));
  const double log_a = std::log(a);
  double log_term_denominator = even ? 0.0 : std::log(std::sqrt(std::numbers::pi));
  for (double z = even ? 1.0 : 0.5; z <= 0.5 * (df - 1.0); z += 1.0) {
    log_term_denominator += std::log(z);  // log of Gamma(z + 1), built up step by step
    sum += std::exp(z * log_a - a - log_term_denominator);
  }
  return std::min(sum, 1.0);
}

void ByteStatistics::Feed(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  if (bytes_ == 0) first_ = data[0];
  std::uint64_t products = bytes_ > 0 ? std::uint64_t{last_} * data[0] : 0;
  // A product is below 2^16, so 65,536 of them sum within 32 bits: narrow lanes, twice as many
  // to a vector.
  constexpr std::size_t kChunk = 65536;
  for (std::size_t start = 1; start < size; start += kChunk) {
    const std::size_t end = std::min(size, start + kChunk);
    std::uint32_t chunk = 0;
    for (std::size_t i = start; i < end; ++i) chunk += std::uint32_t{data[i - 1]} * data[i];  // vectorised
    products += chunk;
  }
  neighbour_products_ += products;
  last_ = data[size - 1];
  bytes_ += size;

  std::size_t i = 0;
  if (point_size_ > 0) {
    while (point_size_ < 6 && i < size) point_[point_size_++] = data[i++];
    if (point_size_ < 6) return;
    ++points_;
    points_inside_ += Inside(point_);
    point_size_ = 0;
  }
  const std::size_t points = (size - i) / 6;
  points_ += points;
  points_inside_ += PointsInside(data + i, points);
  i += 6 * points;
  while (i < size) point_[point_size_++] = data[i++];
}

Statistics ByteStatistics::Finish(const std::array<std::uint64_t, 256>& histogram) const {
  Statistics s;
  s.bytes = bytes_;
  const auto total = static_cast<double>(bytes_);
  const double expected = total / 256.0;
  std::uint64_t sum = 0, sum_squares = 0, most = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    const std::uint64_t count = histogram[b];
    const auto c = static_cast<double>(count);
    const double deviation = c - expected;
    s.chi_square += deviation * deviation / expected;
    if (count > 0) {
      const double p = c / total;
      s.entropy += p * std::log2(1.0 / p);
    }
    sum += count * b;
    sum_squares += count * b * b;
    most = std::max(most, count);
  }
  // Without a byte there is no statistic, and no chance of exceeding it either.
  s.chi_square_percent =
      bytes_ == 0 ? std::numeric_limits<double>::quiet_NaN() : 100.0 * ChiSquareUpperTail(s.chi_square, 255);
  s.mean = static_cast<double>(sum) / total;

  const double nan = std::numeric_limits<double>::quiet_NaN();
  s.monte_carlo_pi =
      points_ > 0 ? 4.0 * static_cast<double>(points_inside_) / static_cast<double>(points_) : nan;
  s.monte_carlo_error_percent = 100.0 * std::abs(std::numbers::pi - s.monte_carlo_pi) / std::numbers::pi;

  // Serial correlation of each byte with the next, the last paired with the first.
  const double products = static_cast<double>(neighbour_products_ + std::uint64_t{last_} * first_);
  const double sum_d = static_cast<double>(sum);
  const double denominator = total * static_cast<double>(sum_squares) - sum_d * sum_d;
  s.serial_defined = denominator != 0;
  s.serial_correlation = s.serial_defined ? (total * products - sum_d * sum_d) / denominator : 0.0;

  s.mcv_samples = bytes_;
  if (bytes_ > 1) {
    const double p = static_cast<double>(most) / total;
    const double upper = std::min(1.0, p + 2.576 * std::sqrt(p * (1.0 - p) / (total - 1.0)));
    s.min_entropy_mcv = -std::log2(upper) + 0.0;  // never -0
  }
  return s;
}

}  // namespace quality
