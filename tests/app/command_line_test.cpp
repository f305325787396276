// The command line: options, names, refusals, help and the key prompt.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <string>
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
  static constexpr const char* kTimeData = "5F000000.bin";
  static constexpr const char* kTimeLog = "5F000000.wrn";
  // What a row leaves out is the run's default.
  struct Case {
    Args args;
    std::int64_t length = 10000;
    std::int32_t files = 1;
    int mode = 7;  // the generator mode
    std::string data = kTimeData, log = kTimeLog;
  };
  std::vector<Case> cases = {
      {.args = {}},
      {.args = {"/len=125000", "-files=5", "/rndnop"}, .length = 125000, .files = 5, .mode = 3},
      {.args = {"/LEN=0", "/FILES=0"}},
      {.args = {"/LEN=500", "/LEN=0", "/FILES=3", "/FILES=0"}, .length = 500, .files = 3},
      {.args = {"/FILES=5", "/FILES=abc"}},
      {.args = {"/LEN=5000x", "/LEN=", "/LEN=abc", "/Len=-0"}, .length = 5000},
      {.args = {"/LEN= \t+42"}, .length = 42},
      {.args = {"/LEN=9223372036854775807", "/FILES=2147483647"}, .length = INT64_MAX, .files = INT32_MAX},
      {.args = {"/RNDNOPE"}, .mode = 3},
      {.args = {"/RNDNOP", "/rndx"}},
      {.args = {"/RND", "-RNDNOP"}, .mode = 3},
      {.args = {"a.b.c"}, .data = "a.b.c", .log = "a.b.wrn"},
      {.args = {"RND", "/LEN=7"}, .length = 7, .data = "RND", .log = "RND.wrn"},
      {.args = {"LEN=125000"}, .data = "LEN=125000", .log = "LEN=125000.wrn"},
      {.args = {"d/one.bin", "e.x/two", "third", "fourth"}, .data = "d/one.bin", .log = "e.x/two.wrn"},
      // The second name spares "x.wrn" its clash.
      {.args = {"x.wrn", "y"}, .data = "x.wrn", .log = "y.wrn"},
  };
#ifndef _WIN32
  // The longest names; characters, not bytes, count. (On Windows such paths are past the limit.)
  std::string accents;
  for (int i = 0; i < 255; ++i) accents += "\xC3\xA9";
  for (const std::string& name : {std::string(255, 'n'), accents})
    cases.push_back({.args = {name}, .data = name, .log = name + ".wrn"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto [outcome, s] = Parse(c.args);
    EXPECT_EQ(outcome, app::ParseOutcome::Run);
    EXPECT_EQ(s.RecordLength, c.length);
    EXPECT_EQ(s.FileCount, c.files);
    EXPECT_EQ(int{s.GeneratorMode}, c.mode);
    EXPECT_STREQ(app::ModeLabel(s.GeneratorMode), c.mode == 3 ? "RND_TST" : "RND_GEN");
    EXPECT_EQ(s.DataFileName, c.data);
    EXPECT_EQ(s.LogFileName, c.log);
    EXPECT_EQ(s.NamesFromCommandLine, c.data != kTimeData) << "names given: any but the time names";
    EXPECT_FALSE(s.ToStandardOutput);
    EXPECT_FALSE(s.Endless);
  }
  const auto stream = Parse({"-stdoutX", "/Stream"});
  EXPECT_TRUE(stream.settings.ToStandardOutput);
  EXPECT_TRUE(stream.settings.Endless);
  // Each module ID once, in the order given; a serial number of its own.
  const auto picked = Parse({"/DEVICE=04b4:1004", "/device=04B4:1005", "/DEVICE=04b4:1004", "/serial=A 1"});
  ASSERT_EQ(picked.settings.ModuleIds.size(), 2u);
  EXPECT_EQ(picked.settings.ModuleIds[1].product, 0x1005);
  EXPECT_EQ(picked.settings.Serial, "A 1");
  EXPECT_EQ(Parse({"/ENTROPY=1", "/entropy=4.5"}).settings.EntropyClaim, 4.5);
  // /RECONNECT waits without a limit unless one is given; restart rows never span a gap.
  const auto waits = [&](Args args) {
    const app::RunSettings s = Parse(std::move(args)).settings;
    return std::pair{s.Reconnect, s.ReconnectLimit};
  };
  EXPECT_EQ(waits({"/reconnect"}), std::pair(true, std::int64_t{0}));
  EXPECT_EQ(waits({"/RECONNECT=90"}), std::pair(true, std::int64_t{90}));
  EXPECT_EQ(waits({"/RECONNECT=1000000"}), std::pair(true, std::int64_t{1000000}));
  EXPECT_EQ(waits({"/RECONNECT=5", "/RESTARTS=3"}), std::pair(false, std::int64_t{5}));
  EXPECT_EQ(console.out, "");
  EXPECT_EQ(console.keys_read, 0);

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
  struct Case {
    Args args;
    app::ParseOutcome outcome;
    std::string message = "";  // of a refusal; the text of the others (none: the help screen)
  };
  std::vector<Case> cases = {
      {.args = {"/?"}, .outcome = Help},
      {.args = {"-h"}, .outcome = Help},
      {.args = {"/LEN=5", "/Hello"}, .outcome = Help},
      {.args = {"-?x", "/bogus"}, .outcome = Help},
      {.args = {"/VERSION"}, .outcome = Version, .message = version},
      {.args = {"/LEN=5", "-versionx", "/bogus"}, .outcome = Version, .message = version},
      {.args = {"x.wrn"}, .outcome = Refused, .message = "Own log \"x.wrn\" "},
      {.args = {"x.wrn", "x"}, .outcome = Refused, .message = "Own log \"x.wrn\" "},
      {.args = {"/RNDNOP", "/bogus", "/H"}, .outcome = Refused, .message = "Bad option \"/bogus\" "},
      {.args = {"ok.bin", std::string(256, 'n')},
       .outcome = Refused,
       .message = "Name too long \"" + std::string(256, 'n') + "\" "},
      {.args = {too_long_accents},
       .outcome = Refused,
       .message = "Name too long \"" + too_long_accents + "\" "},
  };
  for (const char* bad : {"/LENGTH=5",
                          "/50%s",
                          "/",
                          "-",
                          "/LEN=-5",
                          "/FILES=-1",
                          "/LEN=9223372036854775808",
                          "/LEN=-9223372036854775808",
                          "/FILES=-2147483648",
                          "/FILES=2147483648",
                          "/DEVICE=04b4",
                          "/DEVICE=04b4:10g4",
                          "/ENTROPY=0.5",
                          "/ENTROPY=9",
                          "/ENTROPY=2bits",
                          "/ENTROPY=",
                          "/RECONNECT=0",
                          "/RECONNECT=1000001",
                          "/RECONNECT=",
                          "/RECONNECT=x"})
    cases.push_back(
        {.args = {bad}, .outcome = Refused, .message = "Bad option \"" + std::string(bad) + "\" "});
  std::string help;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    console.out.clear();
    console.keys_read = 0;
    EXPECT_EQ(Parse(c.args).outcome, c.outcome);
    if (help.empty()) help = console.out;
    const std::string shown = c.outcome == Refused ? "\n" + c.message + kPrompt
                              : c.message.empty()  ? help
                                                   : c.message;
    EXPECT_EQ(console.out, shown);
    EXPECT_EQ(console.keys_read, c.outcome == Version ? 0 : 1);
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
  EXPECT_EQ(result.outcome, Refused);
  EXPECT_EQ(console.out, "\nName too long \"" + name + "\" " + kPrompt);
#endif
}

// The rules as the help and the README state them, applied to generated argument lists: options
// start with / or -, keywords are compared case-insensitively over their own length in the order
// LEN=, FILES=, RNDNOP, RND, H, ?; numbers read as scanf reads them; later options override;
// the first name is the data file, a second names the log, more are ignored; a data file that
// would be its own log is refused once every name is read.
struct ModelOutcome {
  app::ParseOutcome outcome = app::ParseOutcome::Run;
  std::int64_t length = 10000;
  std::int32_t files = 1;
  int mode = 7;
  std::string data, log;
};

ModelOutcome Ended(app::ParseOutcome outcome) {
  ModelOutcome m;
  m.outcome = outcome;
  return m;
}

std::optional<std::int64_t> ScanfNumber(const std::string& text, bool& overflow, std::int64_t maximum) {
  std::size_t at = text.find_first_not_of(' ');
  if (at == std::string::npos) return std::nullopt;
  bool negative = false;
  if (text[at] == '+' || text[at] == '-') negative = text[at++] == '-';
  const std::size_t digits = at < text.size() ? text.find_first_not_of("0123456789", at) : at;
  const std::string number = text.substr(at, digits == std::string::npos ? std::string::npos : digits - at);
  if (number.empty()) return std::nullopt;
  const auto magnitude = number.size() > 19 ? 0 : std::stoull(number);
  overflow = number.size() > 19 || magnitude > static_cast<std::uint64_t>(maximum) + (negative ? 1 : 0);
  if (overflow) return std::nullopt;
  return negative ? -static_cast<std::int64_t>(magnitude - 1) - 1 : static_cast<std::int64_t>(magnitude);
}

ModelOutcome Model(const Args& arguments, const std::string& time_data, const std::string& time_log) {
  ModelOutcome m;
  m.data = time_data;
  m.log = time_log;
  const auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  };
  int names = 0;
  for (const std::string& argument : arguments) {
    if (argument.empty() || (argument[0] != '/' && argument[0] != '-')) {
      if (++names == 1) m.data = argument;
      if (names <= 2) m.log = app::DeriveLogName(argument);
      continue;
    }
    const std::string option = upper(argument.substr(1));
    // The text after the option's sign and its keyword.
    const auto value = [&](std::string_view keyword) { return argument.substr(1 + keyword.size()); };
    bool overflow = false;
    if (option.starts_with("LEN=")) {
      const auto n = ScanfNumber(value("LEN="), overflow, std::numeric_limits<std::int64_t>::max());
      if (overflow || (n && *n < 0)) return Ended(app::ParseOutcome::Refused);
      if (n && *n != 0) m.length = *n;
    } else if (option.starts_with("FILES=")) {
      const auto n = ScanfNumber(value("FILES="), overflow, std::numeric_limits<std::int32_t>::max());
      if (overflow || (n && *n < 0)) return Ended(app::ParseOutcome::Refused);
      if (n.value_or(1) != 0) m.files = static_cast<std::int32_t>(n.value_or(1));
    } else if (option.starts_with("RNDNOP")) {
      m.mode = 3;
    } else if (option.starts_with("RND")) {
      m.mode = 7;
    } else if (option.starts_with("H") || option.starts_with("?")) {
      return Ended(app::ParseOutcome::Help);
    } else {
      return Ended(app::ParseOutcome::Refused);
    }
  }
  if (m.data == m.log) return Ended(app::ParseOutcome::Refused);
  return m;
}

TEST_F(CommandLineTest, AgreesWithTheRulesOverGeneratedArgumentLists) {
  const std::vector<std::string> keywords = {"/LEN=", "-len=", "/Len=", "/FILES=", "-files=", "/fIlEs="};
  const std::vector<std::string> numbers = {"",
                                            "0",
                                            "1",
                                            "1984",
                                            " 12",
                                            "+7",
                                            "-1",
                                            "-0",
                                            "12x",
                                            "x5",
                                            "2147483647",
                                            "2147483648",
                                            "9223372036854775807",
                                            "9223372036854775808"};
  const std::vector<std::string> others = {"/RNDNOP", "-rndnopx", "/RND",  "-rnd", "/RNDX",
                                           "/H",      "-help",    "/?",    "/X",   "-LENGTH=5",
                                           "a.bin",   "b",        "c.wrn", "x.wrn"};
  std::mt19937 generator(20261208);
  const auto pick = [&](const std::vector<std::string>& from) { return from[generator() % from.size()]; };
  const app::RunSettings defaults;
  const std::string time_data = app::TimeDataName(0x5F000000), time_log = app::TimeLogName(0x5F000000);
  for (int list = 0; list < 3000; ++list) {
    Args arguments(generator() % 6);
    for (std::string& argument : arguments)
      argument = generator() % 2 ? pick(keywords) + pick(numbers) : pick(others);
    std::string shown;
    for (const std::string& argument : arguments) shown += " [" + argument + "]";
    SCOPED_TRACE(shown);

    const ModelOutcome expected = Model(arguments, time_data, time_log);
    const app::ParseResult parsed = Parse(arguments);
    ASSERT_EQ(parsed.outcome, expected.outcome);
    if (expected.outcome != app::ParseOutcome::Run) continue;
    EXPECT_EQ(parsed.settings.RecordLength, expected.length);
    EXPECT_EQ(parsed.settings.FileCount, expected.files);
    EXPECT_EQ(int{parsed.settings.GeneratorMode}, expected.mode);
    EXPECT_EQ(parsed.settings.DataFileName, expected.data);
    ASSERT_EQ(parsed.settings.LogFileName, expected.log);
    if (HasFailure()) break;  // one list that disagrees says it all
  }
}

}  // namespace
