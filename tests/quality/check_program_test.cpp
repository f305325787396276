// rngacq-check as its manual page and help describe it: each option at the edges of its range,
// each exit status, several files in either order, standard input as '-'.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

namespace {

using testing_support::Holds;

std::string RandomText(std::size_t n, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(generator());
  return out;
}

// Random bytes with `runs` runs of six equal bytes, 1000 bytes apart from byte 500 on: each run
// is one repetition count warning (cut-off 5 at 8 bits) and no failure (9).
std::string WithRunsOfSix(std::size_t runs) {
  std::string data = RandomText(100000, 4);
  for (std::size_t k = 0; k < runs; ++k) data.replace(500 + 1000 * k, 6, 6, 'r');
  return data;
}

class RngacqCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(dir / "good.bin", RandomText(100000, 4));
    testing_support::WriteFile(dir / "stuck.bin", std::string(20000, 'x'));
  }
  testing_support::ProgramResult Check(const std::vector<std::string>& arguments) {
    testing_support::ProgramResult result =
        testing_support::RunProgram(RNGACQ_CHECK_PROGRAM, arguments, dir.path().string());
#ifdef _WIN32
    // Text written to a Windows stream ends its lines with CR LF.
    for (std::string* text : {&result.out, &result.err})
      for (std::size_t at = 0; (at = text->find("\r\n", at)) != std::string::npos;) text->erase(at, 1);
#endif
    return result;
  }
  testing_support::ScratchDir dir;
};

TEST_F(RngacqCheck, TheClaimIsEightBitsUnlessGivenFromOneToEight) {
  const auto plain = Check({"good.bin"});
  EXPECT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_TRUE(
      Holds(plain.out, "\n  Repetition count test (claimed min-entropy 8): cutoffs (warning/failure) 5/9,"));
  struct Row {
    std::string claim;
    std::string rct_line;  // empty: refused
  };
  const Row rows[] = {
      {"1", "(claimed min-entropy 1): cutoffs (warning/failure) 31/61,"},
      {"8", "(claimed min-entropy 8): cutoffs (warning/failure) 5/9,"},
      {"2.5", "(claimed min-entropy 2.5): cutoffs (warning/failure) 13/25,"},
      {"0.99", ""},
      {"8.01", ""},
      {"", ""},
      {"8x", ""},
      {"nan", ""},
      {"-8", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("--entropy=" + row.claim);
    const auto result = Check({"--entropy=" + row.claim, "good.bin"});
    if (row.rct_line.empty()) {
      EXPECT_EQ(result.exit_code, 2);
      EXPECT_EQ(result.err, "rngacq-check: bad min-entropy claim: --entropy=" + row.claim + " (1 to 8)\n");
      EXPECT_EQ(result.out, "");
    } else {
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_TRUE(Holds(result.out, "\n  Repetition count test " + row.rct_line));
    }
  }
}

TEST_F(RngacqCheck, AWarningPassesAFailureFailsWhereverTheFileStands) {
  testing_support::WriteFile(dir / "warned.bin", WithRunsOfSix(1));
  const auto warned = Check({"warned.bin"});
  EXPECT_EQ(warned.exit_code, 0) << "a warning passes";
  EXPECT_TRUE(Holds(warned.out, "\n  Verdict: warning; Repetition count test at byte 504\n"));

  for (const std::vector<std::string>& order :
       {std::vector<std::string>{"stuck.bin", "good.bin"}, {"good.bin", "stuck.bin"}}) {
    SCOPED_TRACE(order.front() + " first");
    const auto result = Check(order);
    EXPECT_EQ(result.exit_code, 1);
    const std::size_t first = result.out.find(order[0] + "\n  Bytes: "),
                      second = result.out.find(order[1] + "\n  Bytes: ");
    ASSERT_NE(first, std::string::npos) << result.out;
    ASSERT_NE(second, std::string::npos) << result.out;
    EXPECT_LT(first, second) << "reported in the order given";
  }
  // A file that cannot be read makes it a read error, and the others are still reported.
  const auto missing = Check({"missing.bin", "stuck.bin"});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err, "rngacq-check: cannot open missing.bin: No such file or directory\n");
  EXPECT_TRUE(Holds(missing.out, "stuck.bin\n  Bytes: 20000\n"));
}

TEST_F(RngacqCheck, ShowsTheFirstEightHealthEventsOfAFile) {
  testing_support::WriteFile(dir / "runs.bin", WithRunsOfSix(12));
  const auto result = Check({"runs.bin"});
  std::string expected;
  for (std::size_t k = 0; k < 8; ++k)
    expected +=
        "runs.bin: Health warning: Repetition count test at byte " + std::to_string(504 + 1000 * k) + "\n";
  const std::string report = "runs.bin\n  Bytes: 100000\n";
  EXPECT_EQ(result.out.substr(0, expected.size() + report.size()), expected + report);
  EXPECT_TRUE(Holds(result.out, "cutoffs (warning/failure) 5/9, warnings 12, failures 0,"));
}

TEST_F(RngacqCheck, UsageErrorsSayWhatIsWrong) {
  struct Row {
    std::vector<std::string> arguments;
    std::string first_error_line;
  };
  const Row rows[] = {
      {{}, "rngacq-check: no input"},
      {{"--json"}, "rngacq-check: no input"},
      {{"--png=p.png", "good.bin", "stuck.bin"}, "rngacq-check: --png takes one input"},
      {{"--png=", "good.bin"}, "rngacq-check: unknown option --png="},
      {{"--bogus", "good.bin"}, "rngacq-check: unknown option --bogus"},
      {{"-x", "good.bin"}, "rngacq-check: unknown option -x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.first_error_line);
    const auto result = Check(row.arguments);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), row.first_error_line);
    EXPECT_TRUE(Holds(result.err, "\nUsage: rngacq-check [--json] [--entropy=h] [--png=FILE] FILE... | -\n"));
    EXPECT_EQ(result.out, "");
  }
  const auto help = Check({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.substr(0, help.out.find('\n')),
            "Usage: rngacq-check [--json] [--entropy=h] [--png=FILE] FILE... | -");
  EXPECT_TRUE(Holds(help.out, "\nExit status: 0 pass or warning, 1 fail, 2 usage or read error.\n"));
}

#ifndef _WIN32
TEST_F(RngacqCheck, ADashReadsStandardInput) {
  const auto result = testing_support::RunProgram(
      "/bin/sh", {"-c", std::string("\"$0\" --json - < good.bin"), RNGACQ_CHECK_PROGRAM},
      dir.path().string());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string expected = R"({"file":"-","bytes":100000,)";
  EXPECT_EQ(result.out.substr(0, expected.size()), expected);
}
#endif

}  // namespace
