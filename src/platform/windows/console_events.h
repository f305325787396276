// The console-event handler that CatchInterruptions installs; tests deliver events to it in
// process.
#pragma once

#include "platform/windows/win32.h"

namespace platform {

// The exit code of a run stopped by any console event (Ctrl-C, Ctrl-Break, closing the window).
inline constexpr int kInterruptedExitCode = 130;

BOOL WINAPI OnConsoleEvent(DWORD event);

}  // namespace platform
