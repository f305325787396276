// Shared helpers for the tests: scratch directories, file contents, captured output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
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
