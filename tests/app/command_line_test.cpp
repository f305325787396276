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

TEST_F(CommandLineTest, OptionsCompareOnlyTheKeywordLength) {
  // Arguments; record length, file count and generator mode.
  const std::vector<std::tuple<Args, std::int64_t, std::int32_t, int>> cases = {
      {{}, 10000, 1, 7},
      {{"/len=125000", "-files=5", "/rndnop"}, 125000, 5, 3},
      {{"/LEN=0", "/FILES=0"}, 10000, 1, 7},
      {{"/LEN=500", "/LEN=0", "/FILES=3", "/FILES=0"}, 500, 3, 7},
      {{"/FILES=5", "/FILES=abc"}, 10000, 1, 7},
      {{"/LEN=5000x", "/LEN=", "/LEN=abc", "/Len=-0"}, 5000, 1, 7},
      {{"/LEN= \t+42"}, 42, 1, 7},
      {{"/LEN=9223372036854775807", "/FILES=2147483647"}, INT64_MAX, INT32_MAX, 7},
      {{"/RNDNOPE"}, 10000, 1, 3},
      {{"/RNDNOP", "/rndx"}, 10000, 1, 7},
      {{"/RND", "-RNDNOP"}, 10000, 1, 3},
  };
  for (const auto& [arguments, length, files, mode] : cases) {
    const auto [outcome, s] = Parse(arguments);
    EXPECT_EQ(std::tuple(outcome, s.RecordLength, s.FileCount, int{s.GeneratorMode}, s.ModeLabel,
                         s.DataFileName + s.LogFileName, s.ToStandardOutput || s.Endless),
              std::tuple(app::ParseOutcome::Run, length, files, mode, mode == 3 ? "RND_TST" : "RND_GEN",
                         "5F000000.bin5F000000.wrn", false))
        << testing::PrintToString(arguments);
  }
  const auto stream = Parse({"-stdoutX", "/Stream"});
  EXPECT_TRUE(stream.settings.ToStandardOutput && stream.settings.Endless);
  // Each module ID once, in the order given; a serial number of its own.
  const auto picked = Parse({"/DEVICE=04b4:1004", "/device=04B4:1005", "/DEVICE=04b4:1004", "/serial=A 1"});
  ASSERT_EQ(picked.settings.ModuleIds.size(), 2u);
  EXPECT_EQ(picked.settings.ModuleIds[1].product, 0x1005);
  EXPECT_EQ(picked.settings.Serial, "A 1");
  EXPECT_EQ(Parse({"/ENTROPY=1", "/entropy=4.5"}).settings.EntropyClaim, 4.5);
  EXPECT_EQ(std::tuple(console.out, console.keys_read), std::tuple("", 0));
}

TEST_F(CommandLineTest, NamesSetTheDataFileAndTheLog) {
  auto names = [this](const Args& arguments) {
    const auto [outcome, s] = Parse(arguments);
    EXPECT_TRUE(outcome == app::ParseOutcome::Run && s.NamesFromCommandLine) << arguments[0];
    return s.DataFileName + "|" + s.LogFileName;
  };
  EXPECT_EQ(names({"a.b.c"}), "a.b.c|a.b.wrn");
  EXPECT_EQ(names({"RND", "/LEN=7"}), "RND|RND.wrn");
  EXPECT_EQ(names({"LEN=125000"}), "LEN=125000|LEN=125000.wrn");
  EXPECT_EQ(names({"d/one.bin", "e.x/two", "third", "fourth"}), "d/one.bin|e.x/two.wrn");
  EXPECT_EQ(names({"x.wrn", "y"}), "x.wrn|y.wrn");  // the second name spares "x.wrn" its clash
#ifndef _WIN32
  // (On Windows, where a whole path ends at 259 characters, such names never fit.)
  EXPECT_EQ(names({std::string(255, 'n')}), std::string(255, 'n') + "|" + std::string(255, 'n') + ".wrn");
  // Characters, not bytes, count against the limit.
  std::string accents;
  for (int i = 0; i < 255; ++i) accents += "\xC3\xA9";
  EXPECT_EQ(names({accents}), accents + "|" + accents + ".wrn");
#endif

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

TEST_F(CommandLineTest, RefusalsQuoteTheArgumentAndWaitForOneKey) {
  std::string too_long_accents;
  for (int i = 0; i < 256; ++i) too_long_accents += "\xC3\xA9";
  std::vector<std::pair<Args, std::string>> cases = {
      {{"x.wrn"}, "Own log \"x.wrn\" "},
      {{"x.wrn", "x"}, "Own log \"x.wrn\" "},
      {{"/RNDNOP", "/bogus", "/H"}, "Bad option \"/bogus\" "},
      {{"ok.bin", std::string(256, 'n')}, "Name too long \"" + std::string(256, 'n') + "\" "},
      {{too_long_accents}, "Name too long \"" + too_long_accents + "\" "},
  };
  for (const char* bad : {"/LENGTH=5", "/50%s", "/", "-", "/LEN=-5", "/FILES=-1", "/LEN=9223372036854775808",
                          "/FILES=2147483648", "/DEVICE=04b4", "/DEVICE=04b4:10g4", "/ENTROPY=0.5",
                          "/ENTROPY=9", "/ENTROPY=2bits", "/ENTROPY="})
    cases.push_back({{bad}, "Bad option \"" + std::string(bad) + "\" "});
  for (const auto& [arguments, message] : cases) {
    console.out.clear();
    console.keys_read = 0;
    EXPECT_EQ(Parse(arguments).outcome, app::ParseOutcome::Refused) << message;
    EXPECT_EQ(std::tuple(console.out, console.keys_read), std::tuple("\n" + message + kPrompt, 1));
  }
#ifndef _WIN32
  // Beyond the path limit: a working directory of about 3900 characters leaves no room for a long name.
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string step(195, 'd');
  for (int i = 0; i < 20; ++i) {
    std::filesystem::create_directory(step);
    std::filesystem::current_path(step);
  }
  const std::string name(250, 'n');
  console.out.clear();
  const auto result = Parse({name});
  std::filesystem::current_path(previous);
  EXPECT_EQ(std::tuple(result.outcome, console.out),
            std::tuple(app::ParseOutcome::Refused, "\nName too long \"" + name + "\" " + kPrompt));
#endif
}

// Every spelling of help shows the one screen (Startup sees it whole) and waits for one key; the
// version is one line and waits for none.
TEST_F(CommandLineTest, HelpAndVersionEndTheParse) {
  using enum app::ParseOutcome;
  using Case = std::pair<Args, app::ParseOutcome>;
  std::string help;
  for (const auto& [arguments, outcome] :
       {Case{{"/?"}, Help}, Case{{"-h"}, Help}, Case{{"/LEN=5", "/Hello"}, Help},
        Case{{"-?x", "/bogus"}, Help}, Case{{"/VERSION"}, Version},
        Case{{"/LEN=5", "-versionx", "/bogus"}, Version}}) {
    console.out.clear();
    console.keys_read = 0;
    EXPECT_EQ(Parse(arguments).outcome, outcome) << arguments[0];
    if (help.empty()) help = console.out;
    const std::string shown = outcome == Help ? help : "\nrngacq " RNGACQ_VERSION "\n";
    EXPECT_EQ(std::tuple(console.out, console.keys_read), std::tuple(shown, outcome == Help ? 1 : 0));
  }
  EXPECT_TRUE(help.ends_with("\n" + std::string(kPrompt))) << help;
}

}  // namespace
