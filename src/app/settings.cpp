#include "app/settings.h"

#include "console/output.h"

namespace app {

const char* ModeLabel(std::uint8_t mode) {
  return mode == 3 ? "RND_TST" : "RND_GEN";
}

std::size_t ComponentStart(std::string_view path) {
#ifdef _WIN32
  const std::size_t separator = path.find_last_of("\\/:");
#else
  const std::size_t separator = path.find_last_of('/');
#endif
  return separator == std::string_view::npos ? 0 : separator + 1;
}

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
