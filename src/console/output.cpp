#include "console/output.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace console {
namespace {

// printf into a std::string; false (and the empty text) when the format cannot be applied.
bool VFormat(std::string& text, const char* format, std::va_list args) {
  text.clear();
  std::va_list sizing;
  va_copy(sizing, args);
  const int length = std::vsnprintf(nullptr, 0, format, sizing);
  va_end(sizing);
  if (length <= 0) return length == 0;
  text.resize(static_cast<std::size_t>(length) + 1);
  if (std::vsnprintf(text.data(), text.size(), format, args) != length) {
    text.clear();
    return false;
  }
  text.resize(static_cast<std::size_t>(length));
  return true;
}

std::uint32_t SaturatingAdd(std::uint32_t a, std::uint32_t b) {
  // A count that wrapped to 0 would make the run take a written log for an empty one.
  return b > std::numeric_limits<std::uint32_t>::max() - a ? std::numeric_limits<std::uint32_t>::max()
                                                           : a + b;
}

bool g_texts_to_standard_error = false;

// Where the texts of the standard-output routes go.
void WriteText(std::string_view text) {
  if (g_texts_to_standard_error) {
    platform::WriteStandardError(text);
  } else {
    platform::WriteStandardOutput(text);
  }
}

}  // namespace

void SendTextsToStandardError(bool on) {
  g_texts_to_standard_error = on;
}

int PrintLogged(WarningLogState& log, const char* format, ...) {
  std::array<char, kLoggedTextLimit + 1> buffer{};
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return length;
  }
  std::string_view text(buffer.data(), static_cast<std::size_t>(length));
  std::string whole;
  if (static_cast<std::size_t>(length) > kLoggedTextLimit) {
    // Too long for the buffer: format once more in full, so the cut can see where the
    // character at the limit begins.
    VFormat(whole, format, again);
    text = CutUtf8(whole, kLoggedTextLimit);
  }
  va_end(again);

  // The formatted text is written as it stands: a '%' in an inserted name stays a '%'.
  WriteText(text);
  WriteToLog(log, text);
  return length;
}

void WriteToLog(WarningLogState& log, std::string_view text) {
  if (log.file.IsOpen() && !text.empty()) {
    log.LoggedBytes = SaturatingAdd(log.LoggedBytes, log.file.Write(text.data(), text.size()));
  }
}

void PrintWide(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text;
  VFormat(text, format, args);
  va_end(args);
  WriteText(text);
}

int PrintDirect(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text;
  const bool formatted = VFormat(text, format, args);
  va_end(args);
  return formatted ? platform::WriteDirectConsole(text) : -1;
}

std::string Format(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text;
  VFormat(text, format, args);
  va_end(args);
  return text;
}

}  // namespace console
