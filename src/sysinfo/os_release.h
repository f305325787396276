// The description line on POSIX systems: distribution name from os-release, kernel release and
// the machine's bitness from uname. Parsing and composition are pure; gathering is in posix/.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sysinfo {

// The most of an os-release file that is looked at.
inline constexpr std::size_t kOsReleaseReadLimit = 64 * 1024;

struct PosixFacts {
  std::string PrettyName;     // os-release PRETTY_NAME, or empty
  std::string SystemName;     // uname sysname, used when there is no PRETTY_NAME
  std::string KernelRelease;  // uname release
  std::string Machine;        // uname machine
};

// The value of `key` in os-release text: shell-style quoting and backslash escapes undone,
// control characters and invalid UTF-8 dropped, cut to kDescriptionLimit units. Nothing when
// the key is absent. Only the first kOsReleaseReadLimit bytes are considered.
std::optional<std::string> FindOsReleaseValue(std::string_view text, std::string_view key);

// "64-bit", "32-bit" or empty for a uname machine name.
std::string_view MachineBitness(std::string_view machine);

// e.g. "Debian GNU/Linux 12 (bookworm) (kernel 6.1.0-18-amd64), 64-bit"; nothing when no
// fact is known.
std::optional<std::string> ComposePosixDescription(const PosixFacts& facts);

// Keeps printable, valid UTF-8 only, so that a hostile system file cannot drive the terminal.
std::string SanitizeText(std::string_view text);

}  // namespace sysinfo
