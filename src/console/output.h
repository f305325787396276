// The output routes. Only PrintLogged reaches the .wrn log (a WarningLogState).
// Formats follow printf; texts are UTF-8 and enter formats through "%s".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "text/text.h"

#if defined(__GNUC__) || defined(__clang__)
#define RNGACQ_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define RNGACQ_PRINTF(fmt_index, first_arg)
#endif

namespace console {

// Longest mirrored text in bytes; a longer one is cut there without splitting a UTF-8 character.
inline constexpr std::size_t kLoggedTextLimit = 1023;

// The warning log of the current data file and the bytes written to logs since start-up. The
// program keeps one and hands it to the run.
struct WarningLogState {
  platform::LogFile file;
  std::uint32_t LoggedBytes = 0;
};

// While standard output carries data, every route that writes to it (all but the direct
// console) writes to standard error instead.
void SendTextsToStandardError(bool on);

// Narrow text to standard output and, while `log` is open, into it. Returns the formatted
// length, or a negative value when formatting fails.
int PrintLogged(WarningLogState& log, const char* format, ...) RNGACQ_PRINTF(2, 3);
// Into the log alone, while it is open: for what would only clutter the console.
void WriteToLog(WarningLogState& log, std::string_view text);
// The wide and the narrow console route: to standard output only (on Windows converted for the
// console). Texts are UTF-8 either way, so the two routes are one function.
void PrintWide(const char* format, ...) RNGACQ_PRINTF(1, 2);
// Direct console: to the console device itself, never to standard output or the log.
// Returns the number of characters written, negative on error.
int PrintDirect(const char* format, ...) RNGACQ_PRINTF(1, 2);

// printf into a std::string (no length limit).
std::string Format(const char* format, ...) RNGACQ_PRINTF(1, 2);
// Cuts a UTF-8 text to at most `limit` bytes without splitting a character.
using text::CutUtf8;

}  // namespace console
