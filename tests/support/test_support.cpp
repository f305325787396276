#include "support/test_support.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/platform.h"

namespace testing_support {

ScratchDir::ScratchDir() {
  std::random_device rd;
  do {
    path_ = std::filesystem::temp_directory_path() / ("rngacq-test-" + std::to_string(rd()));
  } while (!std::filesystem::create_directory(path_));
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

::testing::AssertionResult SameBytes(const unsigned char* actual, std::size_t actual_size,
                                     const unsigned char* expected, std::size_t expected_size) {
  std::size_t at = 0;
  while (at < actual_size && at < expected_size && actual[at] == expected[at]) ++at;
  if (at == actual_size && at == expected_size) return ::testing::AssertionSuccess();
  const auto byte = [](const unsigned char* bytes, std::size_t size, std::size_t offset) {
    if (offset >= size) return std::string("end");
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", bytes[offset]);
    return std::string(hex);
  };
  return ::testing::AssertionFailure()
         << actual_size << " bytes, expected " << expected_size << "; first difference at offset " << at
         << ": " << byte(actual, actual_size, at) << ", expected " << byte(expected, expected_size, at);
}

CapturedConsole::CapturedConsole() {
  auto& hooks = platform::Hooks();
  hooks.standard_output = [this](std::string_view text) { out.append(text); };
  hooks.direct_console = [this](std::string_view text) {
    direct.append(text);
    return static_cast<int>(text.size());
  };
  hooks.read_key = [this] { return ++keys_read, int{'x'}; };
  hooks.read_char = [this] { return ++keys_read, int{'\n'}; };
  hooks.sleep_ms = [](std::uint32_t) {};
}

CapturedConsole::~CapturedConsole() {
  platform::ResetHooks();
}

}  // namespace testing_support
