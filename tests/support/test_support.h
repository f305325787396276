// Shared helpers for the tests: scratch directories, file contents, captured output.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

namespace testing_support {

// A fresh directory under the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // A UTF-8 name in it (a path would read the name in the ANSI code page on Windows).
  std::string operator/(const std::string& name) const { return path_.string() + '/' + name; }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::string& path);  // UTF-8 names; "" when there is none
void WriteFile(const std::string& path, const std::string& bytes);

// Whether `text` holds `part`; either way the message shows the whole text.
inline ::testing::AssertionResult Holds(std::string_view text, std::string_view part) {
  const bool held = text.find(part) != std::string_view::npos;
  return (held ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << '"' << part << (held ? "\" is in:\n" : "\" is not in:\n") << text;
}

// The eight bytes every PNG file begins with.
inline constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};

::testing::AssertionResult SameBytes(const unsigned char* actual, std::size_t actual_size,
                                     const unsigned char* expected, std::size_t expected_size);

// Whether two byte strings (std::string, std::vector<std::uint8_t>, ...) are equal; when not, the
// message gives their sizes and the first offset where they differ, not kilobytes of bytes.
template <class Actual, class Expected>
::testing::AssertionResult SameBytes(const Actual& actual, const Expected& expected) {
  static_assert(sizeof(*std::data(actual)) == 1 && sizeof(*std::data(expected)) == 1);
  return SameBytes(reinterpret_cast<const unsigned char*>(std::data(actual)), std::size(actual),
                   reinterpret_cast<const unsigned char*>(std::data(expected)), std::size(expected));
}

// Captures what the platform's standard output, direct console and key input see, and
// restores the real system afterwards.
class CapturedConsole {
 public:
  CapturedConsole();
  ~CapturedConsole();
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;
  std::string out;     // standard output
  std::string direct;  // direct console
  int keys_read = 0;   // key presses and characters consumed
};

}  // namespace testing_support
