// The progress indicator and the timing report of one data file.
#pragma once

#include <cstdint>

#include "console/output.h"

namespace app {

// What the percentage on the console shows; the run keeps one.
struct ProgressState {
  std::int64_t total = 0;
  std::int64_t last_shown = 100;
  std::int32_t printed = 0;  // characters of the last drawing
};

enum ProgressPhase : int { kProgressStart = 1, kProgressUpdate = 2, kProgressFinish = 3 };
void ShowProgress(ProgressState& progress, int phase, std::int64_t value);

// The counter's readings at a record's start and stop; the run keeps one.
struct TimingState {
  std::int64_t start_ticks = 0;
  std::int64_t stop_ticks = 0;
};

enum TimingMode : int { kTimingStart = 0, kTimingStop = 1, kTimingReport = 129 };
// Status 0, 51 (counter unreadable at Start) or 59 (at Stop). With `log` the texts go through
// PrintLogged into it, without one to the console only. Report stores the elapsed milliseconds
// in `elapsed_ms`.
std::int32_t TimeAcquisition(TimingState& timing, int mode, std::int64_t byte_count,
                             console::WarningLogState* log, std::uint32_t* elapsed_ms = nullptr);

std::uint32_t ElapsedMilliseconds(std::int64_t ticks);

}  // namespace app
