#include <climits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows/wide_entry.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

// The conversion calls take int lengths; texts beyond that are cut rather than misread.
int ClampedLength(std::size_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

}  // namespace

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int in_size = ClampedLength(utf8.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_size, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  const int made = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_size, wide.data(), needed);
  wide.resize(made > 0 ? static_cast<std::size_t>(made) : 0);
  return wide;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  const int in_size = ClampedLength(utf16.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), in_size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  const int made =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), in_size, narrow.data(), needed, nullptr, nullptr);
  narrow.resize(made > 0 ? static_cast<std::size_t>(made) : 0);
  return narrow;
}

std::vector<std::string> WideArguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  if (argv == nullptr) return arguments;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) arguments.push_back(Narrow(argv[i]));
  return arguments;
}

}  // namespace platform
