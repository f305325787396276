// Start-up of the built programs: system line, catalogue beside the executable, help, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Holds;
using testing_support::RunProgram;

const std::string kPrompt = "...press any key to exit.\n";

// Each program is started as a shell does: `invoked`, as typed, is the first argument it sees.
TEST(Startup, SystemLineThenHelpOrRefusal) {
  for (const char* program : {RNGACQ_SIM_PROGRAM, RNGACQ_PROGRAM}) {
    testing_support::ScratchDir dir;
    const std::string path = testing_support::InstallProgram(program, dir.path().string());
    const std::string name = fs::path(path).filename().string();
    const std::string invoked = "./" + name;
    SCOPED_TRACE(invoked);
    const auto help = RunProgram(path, {"/?"}, dir.path().string(), {}, invoked);
    EXPECT_EQ(help.exit_code, 0) << invoked;
    // "\n<system line>\n<help>": the help screen starts with its own empty line.
    const std::size_t at = help.out.find("\n" + name + ", Lite version;\n");
    ASSERT_NE(at, std::string::npos) << help.out;
    EXPECT_EQ(help.out.rfind('\n', at - 1), 0u) << help.out;
#ifdef _WIN32
    EXPECT_TRUE(Holds(help.out, "Microsoft Windows"));
#else
    EXPECT_TRUE(Holds(help.out, "(kernel "));
#endif
    EXPECT_TRUE(help.out.ends_with("\n" + kPrompt)) << help.out;

    const auto bad = RunProgram(path, {"/LEN=5", "-bogus it", "/?"}, dir.path().string(), {}, invoked);
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_TRUE(Holds(bad.out, "\nUnrecognised option \"-bogus it\" " + kPrompt));
  }
}

TEST(Startup, CatalogueBesideTheExecutable) {
  testing_support::ScratchDir dir;
  const fs::path bin = dir.path() / "bin";
  for (const char* folder : {"bin", "work", "links"}) fs::create_directory(dir.path() / folder);
  const std::string path = testing_support::InstallProgram(RNGACQ_SIM_PROGRAM, bin.string());
  const std::string name = fs::path(path).filename().string();
  // Found by bare name on the search path, by a relative path, and through a link elsewhere (/usr/bin).
  std::vector<std::pair<std::string, std::string>> starts{{path, name}, {path, "../bin/" + name}};
#ifndef _WIN32
  fs::create_symlink(path, dir.path() / "links" / name);
  starts.emplace_back((dir.path() / "links" / name).string(), "../links/" + name);
#endif
  for (const auto& [started, invoked] : starts) {
    SCOPED_TRACE(invoked);
    const auto r = RunProgram(started, {"-h"}, (dir.path() / "work").string(), {}, invoked);
    EXPECT_EQ(r.exit_code, 0) << invoked;
    EXPECT_TRUE(Holds(r.out, "\n" + name + ", Lite version;\n"));
  }

  // Without it, no option is looked at: the fixed prompt, exit 1, the path shown without "." or "..".
  fs::remove(bin / "lang.INI");
  const std::string catalogue = (fs::canonical(bin) / "lang.INI").string();
  for (const auto& [folder, invoked] : {std::pair{"bin", "./" + name}, std::pair{"work", "../bin/" + name}}) {
    SCOPED_TRACE(invoked);
    const auto r = RunProgram(path, {"/?"}, (dir.path() / folder).string(), {}, invoked);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(Holds(r.out, "Lite version"));
    EXPECT_TRUE(Holds(r.out, "\nUnable to open file " + catalogue + "...press any key.\n"));
  }
}

#ifndef _WIN32
// The executable's own path may be longer than any first guess at its length: the catalogue is
// still found beside it, not beside a path cut short. (Windows limits such paths itself.)
TEST(Startup, CatalogueBesideAnExecutableWithALongPath) {
  testing_support::ScratchDir dir;
  fs::path deep = dir.path();
  for (int level = 0; level < 6; ++level) deep /= std::string(60, static_cast<char>('a' + level));
  fs::create_directories(deep);
  const std::string path = testing_support::InstallProgram(RNGACQ_SIM_PROGRAM, deep.string());
  ASSERT_GT(path.size(), 360u);
  const auto r = RunProgram(path, {"/?"}, deep.string());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Holds(r.out, ", Lite version;\n"));
}

// A catalogue path of the greatest length the system opens is found like any other. The
// program's own path is then longer than that: it is copied and started by its name within
// the folder.
TEST(Startup, CatalogueAtTheLongestPathTheSystemOpens) {
  testing_support::ScratchDir dir;
  const std::size_t longest = PATH_MAX - 1;  // PATH_MAX counts the terminating NUL
  const std::size_t folder_length = longest - std::string("/lang.INI").size();
  fs::path deep = dir.path();
  for (char level = 'a'; deep.string().size() < folder_length; ++level) {
    const std::size_t left = folder_length - deep.string().size() - 1;  // one for the separator
    std::size_t n = std::min<std::size_t>(left, 200);
    if (left - n == 1) --n;  // never leave room for a separator alone
    deep /= std::string(n, level);
  }
  fs::create_directories(deep);
  ASSERT_EQ((deep / "lang.INI").string().size(), longest);
  const fs::path source(RNGACQ_SIM_PROGRAM);
  const std::string name = source.filename().string();
  const fs::path here = fs::current_path();
  fs::current_path(deep);
  fs::copy_file(source, name);
  fs::copy_file(source.parent_path() / "lang.INI", "lang.INI");
  fs::current_path(here);

  const auto r = RunProgram("./" + name, {"/?"}, deep.string());

  fs::current_path(deep);
  fs::remove(name);  // beyond the limit, the scratch folder's removal could not reach it
  fs::current_path(here);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(Holds(r.out, ", Lite version;\n")) << r.out;
}
#endif

}  // namespace
