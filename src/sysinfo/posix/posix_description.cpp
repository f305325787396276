// Gathers the facts of the POSIX description line: os-release and uname.
#include <sys/utsname.h>

#include <cstring>
#include <fstream>
#include <string>

#include "sysinfo/os_release.h"
#include "sysinfo/system_description.h"

namespace sysinfo {

namespace {

// Reads at most kOsReleaseReadLimit bytes, so that a huge or endless file cannot stall start-up.
std::string ReadBounded(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string bytes(kOsReleaseReadLimit, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::string Field(const char* field, std::size_t capacity) {
  return std::string(field, strnlen(field, capacity));
}

}  // namespace

int PrintSystemDescription() {
  PosixFacts facts;
  // /etc/os-release is the system's own; /usr/lib/os-release is the vendor's fallback.
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    const std::string text = ReadBounded(path);
    if (text.empty()) continue;
    facts.PrettyName = FindOsReleaseValue(text, "PRETTY_NAME").value_or(std::string());
    break;
  }
  struct utsname names {};
  if (uname(&names) == 0) {
    facts.SystemName = Field(names.sysname, sizeof names.sysname);
    facts.KernelRelease = Field(names.release, sizeof names.release);
    facts.Machine = Field(names.machine, sizeof names.machine);
  }
  return PrintComposed(ComposePosixDescription(facts));
}

}  // namespace sysinfo
