// The progress indicator and the timing report.
#include "app/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "console/catalogue.h"
#include "console/output.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "platform/windows/win32.h"
#endif

namespace {

// RunTest draws a whole record's indicator; here are the edges.
TEST(ShowProgress, EachPercentageOnceWideDrawingsAndHugeTotals) {
  testing_support::CapturedConsole console;
  app::ShowProgress(app::kProgressStart, 1000);
  for (int i = 0; i < 1000; ++i) app::ShowProgress(app::kProgressUpdate, i);
  EXPECT_EQ(std::count(console.direct.begin(), console.direct.end(), '%'), 100);
  EXPECT_EQ(console.direct.substr(console.direct.size() - 4), " 99%");

  console.direct.clear();
  app::ShowProgress(app::kProgressStart, 0);
  app::ShowProgress(9, 1);  // not a phase
  app::ShowProgress(app::kProgressFinish, 0);
  EXPECT_EQ(console.direct, "  OK ");

  // A drawing wider than the mark is blanked out.
  console.direct.clear();
  app::ShowProgress(app::kProgressStart, 5);
  app::ShowProgress(app::kProgressUpdate, 500);
  app::ShowProgress(app::kProgressFinish, 0);
  EXPECT_EQ(console.direct, "10000%\b\b\b\b\b\b  OK  ");

  // Totals too large to multiply by 100 in 64 bits still give the right percentage.
  console.direct.clear();
  app::ShowProgress(app::kProgressStart, INT64_MAX / 10);
  app::ShowProgress(app::kProgressUpdate, INT64_MAX / 10 - 1);
  EXPECT_EQ(console.direct, " 99%");
  EXPECT_TRUE(console.out.empty());
}

class TimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(dir / "lang.INI",
                               "[F001]\nS001=No counter\nS002=Time\nS004=ms\nS005=rate\nS006=B/s\n");
    console::SetCataloguePath(dir / "lang.INI");
    console::ResetWarningLog();
    platform::Hooks().query_frequency = [this](std::int64_t& f) { return f = frequency, frequency_ok; };
    platform::Hooks().query_counter = [this](std::int64_t& t) {
      t = next_ticks;
#ifdef _WIN32
      SetLastError(5);  // the system error code there is GetLastError's
#else
      errno = 5;
#endif
      return counter_ok;
    };
  }
  void TearDown() override {
    console::SetCataloguePath("");
  }

  // Times `ticks` at 1 MHz and reports `bytes`, returning the report.
  std::string Report(std::int64_t ticks, std::int64_t bytes, bool logged = false) {
    console.out.clear();
    next_ticks = 1000;
    EXPECT_EQ(app::TimeAcquisition(app::kTimingStart, 0, false), 0);
    next_ticks = 1000 + ticks;
    EXPECT_EQ(app::TimeAcquisition(app::kTimingStop, 0, false), 0);
    EXPECT_EQ(app::TimeAcquisition(app::kTimingReport, bytes, logged, &elapsed), 0);
    return console.out;
  }

  testing_support::ScratchDir dir;
  testing_support::CapturedConsole console;
  std::int64_t frequency = 1000000;
  bool frequency_ok = true;
  bool counter_ok = true;
  std::int64_t next_ticks = 0;
  std::uint32_t elapsed = 0;
};

TEST_F(TimingTest, ReportsTimeAndRate) {
  EXPECT_EQ(Report(3723456000, 0), "\nTime= 3723456 ms (01:02:03,456)");
  EXPECT_EQ(elapsed, 3723456u);
  EXPECT_EQ(Report(90000000000, 0), "\nTime= 90000000 ms (25:00:00,000)");
  EXPECT_EQ(Report(999, 10000), "\nTime= 0 ms (00:00:00,000)");
  EXPECT_EQ(elapsed, 0u);

  // Only the logged form reaches an open log.
  ASSERT_TRUE(console::WarningLog().file.Create(dir / "x.wrn"));
  Report(123000, 10000, false);
  const std::string logged = Report(2000, 1, true);
  console::WarningLog().file.Close();
  EXPECT_EQ(testing_support::ReadFile(dir / "x.wrn"), logged);
  EXPECT_EQ(logged, "\nTime= 2 ms (00:00:00,002), rate=500 B/s");
  console::ResetWarningLog();
}

TEST_F(TimingTest, CounterAndFrequencyFailures) {
  counter_ok = false;
  EXPECT_EQ(app::TimeAcquisition(app::kTimingStart, 0, false), 51);
  EXPECT_EQ(app::TimeAcquisition(app::kTimingStop, 0, false), 59);
  EXPECT_EQ(console.out, "\nNo counter 5No counter 5\n");

  // A frequency that is not a whole multiple of 1000 drops the fraction of a tick per ms.
  frequency = 3579545;
  EXPECT_EQ(app::ElapsedMilliseconds(35795450), 10001u);
  frequency = 1000;
  EXPECT_EQ(app::ElapsedMilliseconds((std::int64_t{1} << 32) + 5), 5u);  // truncated to 32 bits
  frequency = 999;  // slower than a millisecond: unreadable
  EXPECT_EQ(app::ElapsedMilliseconds(5000), 0u);
  frequency = 1000000;
  frequency_ok = false;
  EXPECT_EQ(app::ElapsedMilliseconds(5000000), 0u);
}

}  // namespace
