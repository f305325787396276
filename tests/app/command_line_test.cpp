// The command line: options, names, refusals, help and the key prompt.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "console/catalogue.h"
#include "support/test_support.h"

namespace {

using Args = std::vector<std::string>;
const char* const kPrompt = "Press a key\n";

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(
        dir / "lang.INI",
        "[F002]\nS001=Bad option\nS011=Name too long\nS013=Own log\n[F007]\nS001=Press a key\n");
    console::SetCataloguePath(dir / "lang.INI");
  }
  void TearDown() override { console::SetCataloguePath(""); }

  app::ParseResult Parse(const Args& arguments) {
    app::RunSettings defaults;
    defaults.TimeValue = 0x5F000000;
    defaults.DataFileName = app::TimeDataName(defaults.TimeValue);
    defaults.LogFileName = app::TimeLogName(defaults.TimeValue);
    defaults.ProgramFileName = "rngacq";
    return app::ParseCommandLine(arguments, defaults);
  }

  testing_support::ScratchDir dir;
  testing_support::CapturedConsole console;
};

// Options compare only the keyword's length; names (none: the time names) set the data file and its log.
TEST_F(CommandLineTest, OptionsAndNamesSetTheRun) {
  // Arguments; record length, file count, generator mode, data file and log names.
  std::vector<std::tuple<Args, std::int64_t, std::int32_t, int, std::string>> cases = {
      {{}, 10000, 1, 7, ""},
      {{"/len=125000", "-files=5", "/rndnop"}, 125000, 5, 3, ""},
      {{"/LEN=0", "/FILES=0"}, 10000, 1, 7, ""},
      {{"/LEN=500", "/LEN=0", "/FILES=3", "/FILES=0"}, 500, 3, 7, ""},
      {{"/FILES=5", "/FILES=abc"}, 10000, 1, 7, ""},
      {{"/LEN=5000x", "/LEN=", "/LEN=abc", "/Len=-0"}, 5000, 1, 7, ""},
      {{"/LEN= \t+42"}, 42, 1, 7, ""},
      {{"/LEN=9223372036854775807", "/FILES=2147483647"}, INT64_MAX, INT32_MAX, 7, ""},
      {{"/RNDNOPE"}, 10000, 1, 3, ""},
      {{"/RNDNOP", "/rndx"}, 10000, 1, 7, ""},
      {{"/RND", "-RNDNOP"}, 10000, 1, 3, ""},
      {{"a.b.c"}, 10000, 1, 7, "a.b.c|a.b.wrn"},
      {{"RND", "/LEN=7"}, 7, 1, 7, "RND|RND.wrn"},
      {{"LEN=125000"}, 10000, 1, 7, "LEN=125000|LEN=125000.wrn"},
      {{"d/one.bin", "e.x/two", "third", "fourth"}, 10000, 1, 7, "d/one.bin|e.x/two.wrn"},
      {{"x.wrn", "y"}, 10000, 1, 7, "x.wrn|y.wrn"},  // the second name spares "x.wrn" its clash
  };
#ifndef _WIN32
  // The longest names; characters, not bytes, count. (On Windows such paths are past the limit.)
  std::string accents;
  for (int i = 0; i < 255; ++i) accents += "\xC3\xA9";
  for (const std::string& name : {std::string(255, 'n'), accents})
    cases.push_back({{name}, 10000, 1, 7, name + "|" + name + ".wrn"});
#endif
  for (const auto& [arguments, length, files, mode, names] : cases) {
    const auto [outcome, s] = Parse(arguments);
    EXPECT_EQ(std::tuple(outcome, s.RecordLength, s.FileCount, int{s.GeneratorMode}, s.ModeLabel,
                         s.DataFileName + "|" + s.LogFileName, s.NamesFromCommandLine,
                         s.ToStandardOutput || s.Endless),
              std::tuple(app::ParseOutcome::Run, length, files, mode, mode == 3 ? "RND_TST" : "RND_GEN",
                         names.empty() ? "5F000000.bin|5F000000.wrn" : names, !names.empty(), false))
        << testing::PrintToString(arguments);
  }
  const auto stream = Parse({"-stdoutX", "/Stream"});
  EXPECT_TRUE(stream.settings.ToStandardOutput && stream.settings.Endless);
  // Each module ID once, in the order given; a serial number of its own.
  const auto picked = Parse({"/DEVICE=04b4:1004", "/device=04B4:1005", "/DEVICE=04b4:1004", "/serial=A 1"});
  ASSERT_EQ(picked.settings.ModuleIds.size(), 2u);
  EXPECT_EQ(std::tuple(picked.settings.ModuleIds[1].product, picked.settings.Serial),
            std::tuple(0x1005, "A 1"));
  EXPECT_EQ(Parse({"/ENTROPY=1", "/entropy=4.5"}).settings.EntropyClaim, 4.5);
  EXPECT_EQ(std::tuple(console.out, console.keys_read), std::tuple("", 0));

#ifdef _WIN32
  EXPECT_EQ(app::DeriveLogName("C:\\out\\data.bin"), "C:\\out\\data.wrn");
  EXPECT_EQ(app::DeriveLogName("d.x\\name"), "d.x\\name.wrn");
  EXPECT_EQ(app::DeriveLogName("C:a.b"), "C:a.wrn");
#else
  EXPECT_EQ(app::DeriveLogName("d.x\\name"), "d.wrn");  // a backslash is an ordinary character here
#endif
  EXPECT_EQ(app::TimeDataName(0x1000000ABLL), "000000AB.bin");
  EXPECT_EQ(app::TimeLogName(-1), "FFFFFFFF.wrn");
}

// Refusals quote the argument, every spelling of help shows the one screen (Startup sees it whole),
// and both wait for one key; the version is one line and waits for none.
TEST_F(CommandLineTest, RefusalsHelpAndVersionEndTheParse) {
  using enum app::ParseOutcome;
  std::string too_long_accents;
  for (int i = 0; i < 256; ++i) too_long_accents += "\xC3\xA9";
  const std::string version = "\nrngacq " RNGACQ_VERSION "\n";
  // Arguments, the outcome, and the message of a refusal, the text of the others (none: the help screen).
  std::vector<std::tuple<Args, app::ParseOutcome, std::string>> cases = {
      {{"/?"}, Help, ""},
      {{"-h"}, Help, ""},
      {{"/LEN=5", "/Hello"}, Help, ""},
      {{"-?x", "/bogus"}, Help, ""},
      {{"/VERSION"}, Version, version},
      {{"/LEN=5", "-versionx", "/bogus"}, Version, version},
      {{"x.wrn"}, Refused, "Own log \"x.wrn\" "},
      {{"x.wrn", "x"}, Refused, "Own log \"x.wrn\" "},
      {{"/RNDNOP", "/bogus", "/H"}, Refused, "Bad option \"/bogus\" "},
      {{"ok.bin", std::string(256, 'n')}, Refused, "Name too long \"" + std::string(256, 'n') + "\" "},
      {{too_long_accents}, Refused, "Name too long \"" + too_long_accents + "\" "},
  };
  for (const char* bad : {"/LENGTH=5", "/50%s", "/", "-", "/LEN=-5", "/FILES=-1", "/LEN=9223372036854775808",
                          "/FILES=2147483648", "/DEVICE=04b4", "/DEVICE=04b4:10g4", "/ENTROPY=0.5",
                          "/ENTROPY=9", "/ENTROPY=2bits", "/ENTROPY="})
    cases.push_back({{bad}, Refused, "Bad option \"" + std::string(bad) + "\" "});
  std::string help;
  for (const auto& [arguments, outcome, message] : cases) {
    console.out.clear();
    console.keys_read = 0;
    EXPECT_EQ(Parse(arguments).outcome, outcome) << arguments[0];
    if (help.empty()) help = console.out;
    const std::string shown = outcome == Refused ? "\n" + message + kPrompt
                              : message.empty()  ? help
                                                 : message;
    EXPECT_EQ(std::tuple(console.out, console.keys_read), std::tuple(shown, outcome == Version ? 0 : 1));
  }
  EXPECT_TRUE(help.ends_with("\n" + std::string(kPrompt))) << help;
#ifndef _WIN32
  // Beyond the path limit: a working directory of about 3900 characters leaves no room for a long name.
  std::filesystem::path deep = dir.path();
  for (int i = 0; i < 20; ++i) deep /= std::string(195, 'd');
  std::filesystem::create_directories(deep);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(deep);
  const std::string name(250, 'n');
  console.out.clear();
  const auto result = Parse({name});
  std::filesystem::current_path(previous);
  EXPECT_EQ(std::tuple(result.outcome, console.out),
            std::tuple(Refused, "\nName too long \"" + name + "\" " + kPrompt));
#endif
}

}  // namespace
