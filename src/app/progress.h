// The progress indicator and the timing report of one data file.
#pragma once

#include <cstdint>

namespace app {

enum ProgressPhase : int { kProgressStart = 1, kProgressUpdate = 2, kProgressFinish = 3 };
void ShowProgress(int phase, std::int64_t value);

enum TimingMode : int { kTimingStart = 0, kTimingStop = 1, kTimingReport = 129 };
// Status 0, 51 (counter unreadable at Start) or 59 (at Stop). `logged` chooses PrintLogged
// over the console-only route. Report stores the elapsed milliseconds in `elapsed_ms`.
std::int32_t TimeAcquisition(int mode, std::int64_t byte_count, bool logged,
                             std::uint32_t* elapsed_ms = nullptr);

std::uint32_t ElapsedMilliseconds(std::int64_t ticks);

}  // namespace app
