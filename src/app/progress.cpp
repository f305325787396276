#include "app/progress.h"

#include <limits>
#include <string>

#include "console/catalogue.h"
#include "console/output.h"
#include "platform/platform.h"

namespace app {

namespace {

void Backspaces(std::int32_t count) {
  if (count > 0) console::PrintDirect("%s", std::string(static_cast<std::size_t>(count), '\b').c_str());
}

// value * 100 / total, truncating toward zero; values too large to multiply in 64 bits (never
// reached by a record's block count) fall back to wider floating arithmetic.
std::int64_t Percentage(std::int64_t value, std::int64_t total) {
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 100;
  if (value <= kLimit && value >= -kLimit) return value * 100 / total;
  // Clamped far from the ends, so that the conversion back stays defined.
  const long double percent = static_cast<long double>(value) * 100.0L / static_cast<long double>(total);
  constexpr std::int64_t kClamp = std::numeric_limits<std::int64_t>::max() / 2;
  if (percent > static_cast<long double>(kClamp)) return kClamp;
  if (percent < -static_cast<long double>(kClamp)) return -kClamp;
  return static_cast<std::int64_t>(percent);
}

// The timer's text goes into the open log only when the caller asks for it.
template <typename... Args>
void Print(console::WarningLogState* log, const char* format, Args... args) {
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
  if (log != nullptr) {
    console::PrintLogged(*log, format, args...);
  } else {
    console::PrintWide(format, args...);
  }
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

std::int32_t CounterFailure(console::WarningLogState* log, const char* format, std::int32_t status) {
  const auto code = static_cast<int>(platform::LastErrorCode());
  const std::string text = console::ReadMessage(console::Msg::CounterUnreadable);
  Print(log, format, text.c_str(), code);
  return status;
}

}  // namespace

void ShowProgress(ProgressState& progress, int phase, std::int64_t value) {
  switch (phase) {
    case kProgressStart:
      progress.total = value;
      progress.last_shown = 100;
      progress.printed = 0;
      break;
    case kProgressUpdate: {
      const std::int64_t percent = progress.total != 0 ? Percentage(value, progress.total) : 100;
      if (percent == progress.last_shown) return;
      progress.last_shown = percent;
      Backspaces(progress.printed);
      progress.printed = console::PrintDirect("%3lld%%", static_cast<long long>(percent));
      break;
    }
    case kProgressFinish: {
      Backspaces(progress.printed);
      const int written = console::PrintDirect("  OK ");
      // Blank out what is left of a longer drawing.
      if (written < progress.printed) {
        console::PrintDirect("%s",
                             std::string(static_cast<std::size_t>(progress.printed - written), ' ').c_str());
      }
      break;
    }
    default:
      break;
  }
}

std::uint32_t ElapsedMilliseconds(std::int64_t ticks) {
  std::int64_t frequency = 0;
  if (!platform::QueryFrequency(frequency)) return 0;
  const std::int64_t ticks_per_ms = frequency / 1000;
  // A counter slower than 1000 Hz cannot measure milliseconds: treated as unreadable.
  if (ticks_per_ms <= 0) return 0;
  return static_cast<std::uint32_t>(ticks / ticks_per_ms);
}

std::int32_t TimeAcquisition(TimingState& timing, int mode, std::int64_t byte_count,
                             console::WarningLogState* log, std::uint32_t* elapsed_ms) {
  switch (mode) {
    case kTimingStart:
      if (!platform::QueryCounter(timing.start_ticks)) return CounterFailure(log, "\n%s %d", 51);
      return 0;
    case kTimingStop:
      if (!platform::QueryCounter(timing.stop_ticks)) return CounterFailure(log, "%s %d\n", 59);
      return 0;
    case kTimingReport:
      break;
    default:
      return 0;
  }

  // Unsigned difference: a counter that wrapped between the readings still gives its distance.
  const auto ticks = static_cast<std::int64_t>(static_cast<std::uint64_t>(timing.stop_ticks) -
                                               static_cast<std::uint64_t>(timing.start_ticks));
  const std::uint32_t ms = ElapsedMilliseconds(ticks);
  if (elapsed_ms != nullptr) *elapsed_ms = ms;

  Print(log, "\n%s", console::ReadMessage(console::Msg::AcquisitionTime).c_str());
  const std::string unit = console::ReadMessage(console::Msg::Milliseconds);
  Print(log, "= %lu %s (%02lu:%02lu:%02lu,%03lu)", static_cast<unsigned long>(ms), unit.c_str(),
        static_cast<unsigned long>(ms / 3600000u), static_cast<unsigned long>((ms / 1000u % 3600u) / 60u),
        static_cast<unsigned long>(ms / 1000u % 60u), static_cast<unsigned long>(ms % 1000u));

  if (ms != 0 && byte_count != 0) {
    const double rate = static_cast<double>(byte_count) * 1000.0 / static_cast<double>(ms);
    // Both texts are held at once: each lookup overwrites the shared message buffer.
    const std::string rate_name = console::ReadMessage(console::Msg::Rate);
    const std::string rate_unit = console::ReadMessage(console::Msg::BytesPerSecond);
    Print(log, ", %s=%.0f %s", rate_name.c_str(), rate, rate_unit.c_str());
  }
  return 0;
}

}  // namespace app
