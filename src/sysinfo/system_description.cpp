#include "sysinfo/system_description.h"

#include <array>
#include <cstdio>

#include "console/catalogue.h"
#include "console/output.h"
#include "text/text.h"

namespace sysinfo {

namespace {

// UTF-16 units of the character at `at`; a stray byte counts as one unit.
std::size_t UnitsAt(std::string_view text, std::size_t at, std::size_t& bytes) {
  bytes = text::Utf8SequenceLength(text, at);
  if (bytes == 0) bytes = 1;
  return bytes == 4 ? 2 : 1;
}

std::size_t CountUnits(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t at = 0, bytes = 0; at < text.size(); at += bytes) units += UnitsAt(text, at, bytes);
  return units;
}

constexpr std::uint32_t kNtPlatform = 2;
constexpr std::uint8_t kWorkstation = 1;
constexpr std::uint16_t kArchX86 = 0;
constexpr std::uint16_t kArchItanium = 6;
constexpr std::uint16_t kArchX64 = 9;

constexpr std::uint16_t kSuiteEnterprise = 0x0002;
constexpr std::uint16_t kSuiteDatacenter = 0x0080;
constexpr std::uint16_t kSuitePersonal = 0x0200;
constexpr std::uint16_t kSuiteWeb = 0x0400;
constexpr std::uint16_t kSuiteStorageServer = 0x2000;
constexpr std::uint16_t kSuiteComputeCluster = 0x4000;
constexpr std::uint16_t kSuiteHomeServer = 0x8000;

bool Has(std::uint16_t mask, std::uint16_t bit) {
  return (mask & bit) != 0;
}

std::string_view EditionText(std::uint32_t code) {
  struct Edition {
    std::uint32_t code;
    std::string_view text;
  };
  // The product-information codes up to Windows 7, then those that Windows 8 to 11 brought.
  static constexpr std::array<Edition, 26> kEditions{{
      {1, "Ultimate Edition"},
      {2, "Home Basic Edition"},
      {3, "Home Premium Edition"},
      {4, "Enterprise Edition"},
      {6, "Business Edition"},
      {7, "Standard Edition"},
      {8, "Datacenter Edition"},
      {9, "Small Business Server"},
      {10, "Enterprise Edition"},
      {11, "Starter Edition"},
      {12, "Datacenter Edition (core installation)"},
      {13, "Standard Edition (core installation)"},
      {14, "Enterprise Edition (core installation)"},
      {15, "Enterprise Edition for Itanium-based Systems"},
      {17, "Web Server Edition"},
      {18, "Cluster Server Edition"},
      {25, "Small Business Server Premium Edition"},
      {48, "Pro"},
      {49, "Pro N"},
      {98, "Home N"},
      {100, "Home Single Language"},
      {101, "Home"},
      {121, "Education"},
      {122, "Education N"},
      {125, "Enterprise LTSC"},
      {161, "Pro for Workstations"},
  }};
  for (const auto& edition : kEditions) {
    if (edition.code == code) return edition.text;
  }
  return {};
}

void AppendVersion6(std::string& text, const VersionFacts& facts) {
  const bool workstation = facts.ProductType == kWorkstation;
  struct Name {
    std::string_view workstation;
    std::string_view server;
  };
  static constexpr std::array<Name, 4> kNames{{
      {"Windows Vista ", "Windows Server 2008 "},
      {"Windows 7 ", "Windows Server 2008 R2 "},
      {"Windows 8 ", "Windows Server 2012 "},
      {"Windows 8.1 ", "Windows Server 2012 R2 "},
  }};
  if (facts.MinorVersion < kNames.size()) {
    const Name& name = kNames[facts.MinorVersion];
    BoundedAppend(text, workstation ? name.workstation : name.server);
  }
  BoundedAppend(text, EditionText(facts.EditionCode));
}

// Version 10.0 covers Windows 10 and 11 and the servers from 2016; the build tells them apart.
void AppendVersion10(std::string& text, const VersionFacts& facts) {
  if (facts.ProductType == kWorkstation) {
    BoundedAppend(text, facts.BuildNumber >= 22000 ? "Windows 11 " : "Windows 10 ");
  } else if (facts.BuildNumber >= 26100) {
    BoundedAppend(text, "Windows Server 2025 ");
  } else if (facts.BuildNumber >= 20348) {
    BoundedAppend(text, "Windows Server 2022 ");
  } else if (facts.BuildNumber >= 17763) {
    BoundedAppend(text, "Windows Server 2019 ");
  } else {
    BoundedAppend(text, "Windows Server 2016 ");
  }
  BoundedAppend(text, EditionText(facts.EditionCode));
}

void AppendVersion52(std::string& text, const VersionFacts& facts) {
  const std::uint16_t suite = facts.SuiteMask;
  if (facts.ServerR2) {
    BoundedAppend(text, "Windows Server 2003 R2, ");
  } else if (suite == kSuiteStorageServer) {
    BoundedAppend(text, "Windows Storage Server 2003");
  } else if (suite == kSuiteHomeServer) {
    BoundedAppend(text, "Windows Home Server");
  } else if (facts.ProductType == kWorkstation && facts.ProcessorArchitecture == kArchX64) {
    BoundedAppend(text, "Windows XP Professional x64 Edition");
  } else {
    BoundedAppend(text, "Windows Server 2003, ");
  }
  if (facts.ProductType == kWorkstation) return;

  if (facts.ProcessorArchitecture == kArchItanium) {
    if (Has(suite, kSuiteDatacenter)) {
      BoundedAppend(text, "Datacenter Edition for Itanium-based Systems");
    } else if (Has(suite, kSuiteEnterprise)) {
      BoundedAppend(text, "Enterprise Edition for Itanium-based Systems");
    }
  } else if (facts.ProcessorArchitecture == kArchX64) {
    if (Has(suite, kSuiteDatacenter)) {
      BoundedAppend(text, "Datacenter x64 Edition");
    } else if (Has(suite, kSuiteEnterprise)) {
      BoundedAppend(text, "Enterprise x64 Edition");
    } else {
      BoundedAppend(text, "Standard x64 Edition");
    }
  } else if (Has(suite, kSuiteComputeCluster)) {
    BoundedAppend(text, "Compute Cluster Edition");
  } else if (Has(suite, kSuiteDatacenter)) {
    BoundedAppend(text, "Datacenter Edition");
  } else if (Has(suite, kSuiteEnterprise)) {
    BoundedAppend(text, "Enterprise Edition");
  } else if (Has(suite, kSuiteWeb)) {
    BoundedAppend(text, "Web Edition");
  } else {
    BoundedAppend(text, "Standard Edition");
  }
}

void AppendVersion50(std::string& text, const VersionFacts& facts) {
  BoundedAppend(text, "Windows 2000 ");
  if (facts.ProductType == kWorkstation) {
    BoundedAppend(text, "Professional");
  } else if (Has(facts.SuiteMask, kSuiteDatacenter)) {
    BoundedAppend(text, "Datacenter Server");
  } else if (Has(facts.SuiteMask, kSuiteEnterprise)) {
    BoundedAppend(text, "Advanced Server");
  } else {
    BoundedAppend(text, "Server");
  }
}

}  // namespace

void BoundedAppend(std::string& buffer, std::string_view text, std::size_t limit) {
  std::size_t units = CountUnits(buffer);
  for (std::size_t at = 0, bytes = 0; at < text.size(); at += bytes) {
    const std::size_t needed = UnitsAt(text, at, bytes);
    if (units + needed > limit) return;
    buffer.append(text.substr(at, bytes));
    units += needed;
  }
}

std::string BoundedFormat(const char* format, int value) {
  std::array<char, kBuildTextLimit + 1> room{};
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  const int written = std::snprintf(room.data(), room.size(), format, value);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
  if (written < 0) return {};
  std::string text;
  BoundedAppend(text, room.data(), kBuildTextLimit);
  return text;
}

std::optional<std::string> ComposeDescription(const VersionFacts& facts) {
  if (facts.PlatformId != kNtPlatform || facts.MajorVersion <= 4) return std::nullopt;

  std::string text;
  BoundedAppend(text, "Microsoft ");
  if (facts.MajorVersion == 6) {
    AppendVersion6(text, facts);
  } else if (facts.MajorVersion == 10 && facts.MinorVersion == 0) {
    AppendVersion10(text, facts);
  } else if (facts.MajorVersion == 5 && facts.MinorVersion == 2) {
    AppendVersion52(text, facts);
  } else if (facts.MajorVersion == 5 && facts.MinorVersion == 1) {
    BoundedAppend(text, "Windows XP ");
    BoundedAppend(text, Has(facts.SuiteMask, kSuitePersonal) ? "Home Edition" : "Professional");
  } else if (facts.MajorVersion == 5 && facts.MinorVersion == 0) {
    AppendVersion50(text, facts);
  }

  if (!facts.ServicePack.empty()) {
    BoundedAppend(text, " ");
    BoundedAppend(text, facts.ServicePack);
  }
  // The build number is shown signed, as the system's own tools show it.
  BoundedAppend(text, BoundedFormat(" (build %d)", static_cast<int>(facts.BuildNumber)));
  if (facts.MajorVersion > 5) {
    if (facts.ProcessorArchitecture == kArchX64) {
      BoundedAppend(text, ", 64-bit");
    } else if (facts.ProcessorArchitecture == kArchX86) {
      BoundedAppend(text, ", 32-bit");
    }
  }
  return text;
}

int PrintComposed(const std::optional<std::string>& description) {
  if (!description) {
    console::PrintMessageLine(console::Msg::SystemUnknown);
    return kNotDescribable;
  }
  console::PrintWide("\n%s", description->c_str());
  return kDescribed;
}

}  // namespace sysinfo
