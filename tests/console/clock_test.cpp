// The platform's counter and its frequency, on which a run's time and data rate rest, measure
// seconds as the system's steady clock does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/platform.h"

namespace {

TEST(Clock, CounterTicksOverTheirFrequencyAreSeconds) {
  std::int64_t frequency = 0;
  ASSERT_TRUE(platform::QueryFrequency(frequency));
  ASSERT_GT(frequency, 0);
  std::int64_t start = 0, end = 0;
  const auto steady_start = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::QueryCounter(start));
  platform::SleepMs(50);
  ASSERT_TRUE(platform::QueryCounter(end));
  const std::chrono::duration<double> steady = std::chrono::steady_clock::now() - steady_start;
  const double measured = static_cast<double>(end - start) / static_cast<double>(frequency);
  // The counter's interval lies within the steady clock's and spans the sleep.
  EXPECT_GE(measured, 0.050 - 0.001) << "frequency " << frequency;
  EXPECT_LE(measured, steady.count() + 0.001) << "frequency " << frequency;
}

}  // namespace
