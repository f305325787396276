// Start-up of the built programs: system line, catalogue beside the executable, help, refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

#ifndef _WIN32
#include <sys/wait.h>

#include <cstdio>
#else
#include "support/process.h"
#endif

namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `command` through the shell in `directory` without input, `bin` in front of PATH, so that a
// bare name is found as a user's shell finds it. Returns the exit code and standard output.
std::pair<int, std::string> Start(const fs::path& directory, const std::string& command,
                                  const std::string& arguments, const fs::path& bin = "/nonexistent") {
  const std::string line = "cd " + Quoted(directory.string()) + " && PATH=" + Quoted(bin.string()) +
                           ":\"$PATH\" exec " + Quoted(command) + " " + arguments + " </dev/null 2>/dev/null";
  std::string out;
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return {-1, out};
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) != 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}
#else
// The same on Windows, without a shell: `arguments` is split as the shell splits it (blanks
// separate, single quotes group), and `command` is found as the shell finds it, a path relative
// to `directory` or a bare name in `bin`. The program sees `command` as typed.
std::pair<int, std::string> Start(const fs::path& directory, const std::string& command,
                                  const std::string& arguments, const fs::path& bin = "/nonexistent") {
  std::vector<std::string> split;
  std::string word;
  bool quoted = false, in_word = false;
  for (const char c : arguments) {
    if (c == '\'') {
      quoted = !quoted;
      in_word = true;
    } else if (c == ' ' && !quoted) {
      if (in_word) split.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) split.push_back(word);
  const bool has_path = command.find('/') != std::string::npos;
  const fs::path program = has_path ? directory / command : bin / command;
  const auto result = testing_support::RunProgram(program.string(), split, directory.string(), {}, command);
  return {result.exit_code, result.out};
}
#endif

// Copies the program into `directory`, with a catalogue beside it when asked; returns its name.
std::string Install(const char* program, const fs::path& directory, bool with_catalogue) {
  fs::create_directories(directory);
  const fs::path target = directory / fs::path(program).filename();
  fs::copy_file(program, target, fs::copy_options::overwrite_existing);
  if (with_catalogue) {
    testing_support::WriteFile((directory / "lang.INI").string(),
                               "[F002]\nS001=Bad option\n[F007]\nS001=Press a key\n");
  }
  return target.filename().string();
}

TEST(Startup, SystemLineThenHelpOrRefusal) {
  for (const char* program : {RNGACQ_SIM_PROGRAM, RNGACQ_PROGRAM}) {
    testing_support::ScratchDir dir;
    const std::string name = Install(program, dir.path(), true);
    const auto [code, out] = Start(dir.path(), "./" + name, "/?");
    EXPECT_EQ(code, 0) << name;
    // "\n<system line>\n<help>": the help screen starts with its own empty line.
    const std::size_t help = out.find("\n" + name + ", Lite version;\n");
    ASSERT_NE(help, std::string::npos) << out;
    EXPECT_EQ(out.rfind('\n', help - 1), 0u) << out;
#ifdef _WIN32
    EXPECT_NE(out.find("Microsoft Windows"), std::string::npos) << out;
#else
    EXPECT_NE(out.find("(kernel "), std::string::npos) << out;
#endif
    EXPECT_EQ(out.substr(out.size() - 13), "\nPress a key\n");

    const auto [bad_code, bad_out] = Start(dir.path(), "./" + name, "/LEN=5 '-bogus it' /?");
    EXPECT_EQ(bad_code, 1);
    EXPECT_NE(bad_out.find("\nBad option \"-bogus it\" Press a key\n"), std::string::npos) << bad_out;
  }
}

TEST(Startup, CatalogueBesideTheExecutable) {
  testing_support::ScratchDir dir;
  const std::string name = Install(RNGACQ_SIM_PROGRAM, dir.path() / "bin", true);
  fs::create_directory(dir.path() / "work");
  // Found by bare name through the search path, by a relative path, and through a link that
  // stands elsewhere (as a package's entry in /usr/bin does).
  std::vector<std::string> commands{name, "../bin/" + name};
#ifndef _WIN32
  fs::create_directory(dir.path() / "links");
  fs::create_symlink(dir.path() / "bin" / name, dir.path() / "links" / name);
  commands.push_back("../links/" + name);
#endif
  for (const std::string& command : commands) {
    const auto [code, out] = Start(dir.path() / "work", command, "-h", dir.path() / "bin");
    EXPECT_EQ(code, 0) << command;
    EXPECT_NE(out.find("\n" + name + ", Lite version;\n"), std::string::npos) << out;
  }

  // Without it, no option is looked at: the fixed prompt, exit code 1. The path shown has no
  // "." or ".." left.
  fs::remove(dir.path() / "bin" / "lang.INI");
  const std::string catalogue = (fs::canonical(dir.path()) / "bin" / "lang.INI").string();
  for (const auto& [folder, command] : {std::pair{"bin", "./" + name}, std::pair{"work", "../bin/" + name}}) {
    const auto [code, out] = Start(dir.path() / folder, command, "/?");
    EXPECT_EQ(code, 1);
    EXPECT_NE(out.find("\nUnable to open file " + catalogue + "...press any key.\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Lite version"), std::string::npos);
  }
}

}  // namespace
