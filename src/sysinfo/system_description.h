// The one-line description of the operating system printed at start-up. The composition is a
// pure function of the facts, so it can be checked without the platform; only the gathering of
// the facts (sysinfo/windows, sysinfo/posix) needs the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sysinfo {

// Results of PrintSystemDescription.
inline constexpr int kDescribed = 0;
inline constexpr int kVersionQueryFailed = 148;
inline constexpr int kNotDescribable = 346;

// Room of the description and of the build text, in UTF-16 units without the terminator.
inline constexpr std::size_t kDescriptionLimit = 255;
inline constexpr std::size_t kBuildTextLimit = 79;

// What a Windows system reports about itself.
struct VersionFacts {
  std::uint32_t MajorVersion = 0;
  std::uint32_t MinorVersion = 0;
  std::uint32_t BuildNumber = 0;
  std::uint32_t PlatformId = 0;  // 2 = NT family
  std::string ServicePack;       // UTF-8, empty without a service pack
  std::uint16_t SuiteMask = 0;
  std::uint8_t ProductType = 0;             // 1 = workstation
  std::uint16_t ProcessorArchitecture = 0;  // 0 x86, 6 Itanium, 9 x64 (of the machine)
  std::uint32_t EditionCode = 0;            // product-information code, from major version 6 on
  bool ServerR2 = false;                    // version 5.2 only
};

// Appends `text` to `buffer` while the buffer holds at most `limit` UTF-16 units; a cut never
// splits a character.
void BoundedAppend(std::string& buffer, std::string_view text, std::size_t limit = kDescriptionLimit);

// " (build %d)"-style formatting of one value into at most kBuildTextLimit units.
std::string BoundedFormat(const char* format, int value);

// The description line, or nothing when the system gets none (not NT, or version 4 or older).
std::optional<std::string> ComposeDescription(const VersionFacts& facts);

// Prints the description wide on a line of its own: 0 printed, 148 the version query failed
// (nothing printed), 346 no description (the catalogue's F003/S001 text is printed instead).
int PrintSystemDescription();

// Prints a composed line, or the F003/S001 text when there is none; returns 0 or 346.
int PrintComposed(const std::optional<std::string>& description);

}  // namespace sysinfo
