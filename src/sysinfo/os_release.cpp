#include "sysinfo/os_release.h"

#include <array>

#include "sysinfo/system_description.h"
#include "text/text.h"

namespace sysinfo {

namespace {

// Blanks, and the carriage return of a file written on Windows.
std::string_view Trim(std::string_view text) {
  return text::Trim(text, " \t\r");
}

// Undoes the shell quoting that os-release allows: '...' literal, "..." with \" \\ \$ \` escapes,
// and backslash escapes outside quotes. An unterminated quote runs to the end of the line.
std::string Unquote(std::string_view raw) {
  char quote = 0;  // the quote that opened the part being read; 0 outside quotes
  std::string value;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    const bool escape = c == '\\' && i + 1 < raw.size() && quote != '\'' &&
                        (quote == 0 || std::string_view("\"\\$`").find(raw[i + 1]) != std::string_view::npos);
    if (escape) {
      value += raw[++i];
    } else if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
    } else if (quote != 0 && c == quote) {
      quote = 0;
    } else {
      value += c;
    }
  }
  return value;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}
bool StartsWith(std::string_view text, std::string_view part) {
  return text.substr(0, part.size()) == part;
}

}  // namespace

std::string SanitizeText(std::string_view text) {
  std::string clean;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t bytes = text::Utf8SequenceLength(text, at);
    if (bytes == 0) {
      ++at;  // a stray byte
      continue;
    }
    const auto first = static_cast<unsigned char>(text[at]);
    const bool control = bytes == 1 ? (first < 0x20 || first == 0x7F)
                                    : (first == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
    if (!control) clean.append(text.substr(at, bytes));
    at += bytes;
  }
  return clean;
}

std::optional<std::string> FindOsReleaseValue(std::string_view text, std::string_view key) {
  text = text.substr(0, kOsReleaseReadLimit);
  std::optional<std::string> found;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || Trim(line.substr(0, equals)) != key) continue;
    // A later assignment overrides an earlier one, as when the file is sourced by a shell.
    std::string value;
    BoundedAppend(value, SanitizeText(Unquote(Trim(line.substr(equals + 1)))));
    found = std::move(value);
  }
  return found;
}

std::string_view MachineBitness(std::string_view machine) {
  if (machine.empty()) return {};
  if (Contains(machine, "64") || machine == "s390x" || machine == "alpha") return "64-bit";
  static constexpr std::array<std::string_view, 10> k32BitFamilies{
      "i386", "i486", "i586", "i686", "x86", "arm", "ppc", "mips", "sparc", "riscv32"};
  for (const auto family : k32BitFamilies) {
    if (StartsWith(machine, family)) return "32-bit";
  }
  if (machine == "powerpc" || machine == "s390" || machine == "m68k") return "32-bit";
  return {};
}

std::optional<std::string> ComposePosixDescription(const PosixFacts& facts) {
  const std::string name = SanitizeText(!facts.PrettyName.empty() ? facts.PrettyName : facts.SystemName);
  const std::string release = SanitizeText(facts.KernelRelease);
  if (name.empty() && release.empty()) return std::nullopt;

  std::string text;
  BoundedAppend(text, name);
  if (!release.empty()) {
    BoundedAppend(text, text.empty() ? "kernel " : " (kernel ");
    BoundedAppend(text, release);
    if (!name.empty()) BoundedAppend(text, ")");
  }
  const std::string_view bitness = MachineBitness(facts.Machine);
  if (!bitness.empty()) {
    BoundedAppend(text, ", ");
    BoundedAppend(text, bitness);
  }
  return text;
}

}  // namespace sysinfo
