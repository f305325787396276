#include "app/settings.h"

#include "console/output.h"

namespace app {

namespace {

// Where the last path component starts. Windows also knows '\\' and the drive colon ("C:name").
std::size_t ComponentStart(const std::string& name) {
#ifdef _WIN32
  const std::size_t separator = name.find_last_of("\\/:");
#else
  const std::size_t separator = name.find_last_of('/');
#endif
  return separator == std::string::npos ? 0 : separator + 1;
}

}  // namespace

std::string TimeDataName(std::int64_t time_value) {
  return console::Format("%08X.bin", static_cast<unsigned>(static_cast<std::uint32_t>(time_value)));
}

std::string TimeLogName(std::int64_t time_value) {
  return console::Format("%08X.wrn", static_cast<unsigned>(static_cast<std::uint32_t>(time_value)));
}

std::string WithExtension(const std::string& name, const char* extension) {
  const std::size_t dot = name.find_last_of('.');
  const bool has_extension = dot != std::string::npos && dot >= ComponentStart(name);
  return (has_extension ? name.substr(0, dot) : name) + extension;
}

std::string DeriveLogName(const std::string& name) {
  return WithExtension(name, ".wrn");
}

}  // namespace app
