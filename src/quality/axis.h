// Tick spacing for the charts' count and entropy axes.
#pragma once

#include <cmath>

namespace quality {

// The step of 1, 2 or 5 times a power of ten that divides `range` into about `ticks` parts.
inline double NiceStep(double range, int ticks) {
  if (!(range > 0)) return 1;
  const double raw = range / ticks, power = std::pow(10.0, std::floor(std::log10(raw)));
  const double unit = raw / power;
  return power * (unit < 1.5 ? 1 : unit < 3.5 ? 2 : unit < 7.5 ? 5 : 10);
}

}  // namespace quality
