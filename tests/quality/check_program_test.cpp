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

// The assessment's figures are checked estimator by estimator in assessment_test.cpp; here, what
// the program makes of them.
TEST_F(RngacqCheck, TheAssessmentShowsItsFiguresAndChecksTheClaim) {
  const std::string sample = RNGACQ_SOURCE_DIR "/tests/data/sp800-90b/rand8_short.bin";
  const auto plain = Check({"--assess", sample});
  EXPECT_EQ(plain.exit_code, 0) << "no claim to check: " << plain.err;
  EXPECT_TRUE(
      Holds(plain.out, "\n  SP 800-90B non-IID assessment: 10000 samples of 8 bits, 256 distinct values, "))
      << plain.out;
  EXPECT_TRUE(Holds(plain.out, "\n    Most Common Value (6.3.1) ")) << plain.out;
  // The reference tool's figure for this file, as it prints it to six places.
  EXPECT_TRUE(Holds(plain.out,
                    "\n  Assessed min-entropy: 5.860894 bits per sample (the smaller of 6.636441 and 8 x "))
      << plain.out;

  const auto held = Check({"--assess", "--claim=5.5", sample});
  EXPECT_EQ(held.exit_code, 0) << held.out;
  EXPECT_TRUE(Holds(held.out, "\n  Entropy claim 5.5 bits per sample: holds; H_I = 5.500000\n")) << held.out;
  const auto refused = Check({"--assess", "--claim=6", sample});
  EXPECT_EQ(refused.exit_code, 1) << refused.out;
  EXPECT_TRUE(Holds(refused.out, "claim 6 bits per sample: not supported by the assessment; H_I = 5.860894"))
      << refused.out;

  const auto json = Check({"--json", "--assess=non-iid", "--bits=8", "--claim=6", sample});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_TRUE(Holds(json.out, ",\"assessment\":{\"track\":\"non-iid\",\"bits\":8,\"samples\":10000,"))
      << json.out;
  EXPECT_TRUE(Holds(json.out, ",\"claim\":6,\"h_initial\":5.8608937444")) << json.out;
  EXPECT_TRUE(Holds(json.out, "\"claim_supported\":false,\"holds\":false}}\n")) << json.out;

  // The IID track: its verdict and the figure it credits, the same counts for the same seed.
  const std::string bits = RNGACQ_SOURCE_DIR "/tests/data/sp800-90b/rand1_short.bin";
  const auto iid = Check({"--entropy=1", "--assess=iid", "--bits=1", "--claim=0.9", bits});
  EXPECT_EQ(iid.exit_code, 1) << "bytes of 0 and 1 fail the FIPS tests, whatever the IID track says";
  EXPECT_TRUE(
      Holds(iid.out, "\n  IID: yes\n  Most common value: 0.961059 bits per sample, min-entropy 0.961059"))
      << iid.out;
  EXPECT_TRUE(Holds(iid.out, "\n  Entropy claim 0.9 bits per sample: holds\n")) << iid.out;
  // Every count from the statistics' table on; the heading above it gives the run time.
  const auto counts = [](const std::string& out) {
    return out.substr(out.find("permutation test statistic"));
  };
  EXPECT_EQ(counts(Check({"--entropy=1", "--assess=iid", "--bits=1", "--claim=0.9", bits}).out),
            counts(iid.out))
      << "seed 1 both times";
  const auto not_iid = Check({"--json", "--assess=iid", "--claim=7", sample});
  EXPECT_EQ(not_iid.exit_code, 1) << "8-bit samples this short fail the independence test";
  EXPECT_TRUE(Holds(not_iid.out, "\"iid\":false,\"deciding\":\"chi-square independence\"")) << not_iid.out;

  struct Row {
    std::vector<std::string> arguments;
    std::string error;
  };
  const Row refusals[] = {
      {{"--assess=restart", "good.bin"},
       "rngacq-check: the restart tests need the entropy claim (--claim=H)\n"},
      {{"--assess", "--bits=9", "good.bin"}, "rngacq-check: bad sample width: --bits=9 (1 to 8)\n"},
      {{"--assess", "--bits=2.5", "good.bin"}, "rngacq-check: bad sample width: --bits=2.5 (1 to 8)\n"},
      {{"--assess", "--claim=0", "good.bin"},
       "rngacq-check: bad entropy claim: --claim=0 (above 0, at most 8)\n"},
      {{"--assess", "--bits=4", "--claim=5", "good.bin"},
       "rngacq-check: the claim 5 exceeds the sample width of 4 bits\n"},
      {{"--claim=5", "good.bin"}, "rngacq-check: --bits and --claim go with --assess\n"},
      {{"--assess=iid", "--seed=x", "good.bin"}, "rngacq-check: bad seed: --seed=x (a whole number)\n"},
      {{"--assess=restart", "--claim=7", "odd.bin"},
       "rngacq-check: odd.bin: 2500 bytes are not whole rows of 1000 samples (at least two)\n"},
  };
  testing_support::WriteFile(dir / "odd.bin", RandomText(2500, 5));
  for (const Row& row : refusals) {
    SCOPED_TRACE(row.error);
    const auto result = Check(row.arguments);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, row.error);
  }
}

TEST_F(RngacqCheck, TheHtmlPageShowsEveryFileReadAndIsWrittenOnceAtTheEnd) {
  const auto result = Check({"--html=report.html", "good.bin", "missing.bin", "stuck.bin"});
  EXPECT_EQ(result.exit_code, 2) << "the missing file is a read error";
  EXPECT_EQ(result.err, "rngacq-check: cannot open missing.bin: No such file or directory\n");
  const std::string page = testing_support::ReadFile(dir / "report.html");
  ASSERT_TRUE(page.starts_with("<!DOCTYPE html>")) << page.substr(0, 200);
  const std::size_t good = page.find("<h2>good.bin</h2><p class=\"verdict pass\">Verdict: pass</p>"),
                    stuck = page.find("<h2>stuck.bin</h2><p class=\"verdict fail\">Verdict: fail");
  EXPECT_NE(good, std::string::npos);
  EXPECT_NE(stuck, std::string::npos);
  EXPECT_LT(good, stuck) << "in the order given";
  EXPECT_FALSE(Holds(page, "missing.bin"));
  EXPECT_TRUE(page.ends_with("</html>\n"));
  // The text report is the same as without the page.
  EXPECT_EQ(result.out, Check({"good.bin", "missing.bin", "stuck.bin"}).out);

  const auto failed = Check({"--html=report.html", "stuck.bin"});
  EXPECT_EQ(failed.exit_code, 1);
  const auto assessed = Check({"--html=report.html", "--assess", "--claim=7", "good.bin"});
  EXPECT_EQ(assessed.exit_code, 1) << "100,000 random bytes assess below 7 bits";
  EXPECT_TRUE(Holds(testing_support::ReadFile(dir / "report.html"),
                    "<p class=\"verdict fail\">The claim of 7 bits per sample does not hold: the assessed "
                    "min-entropy is "));

  // A page that cannot be written is an error of its own, after the report.
  const auto unwritable = Check({"--html=no-such-folder/report.html", "good.bin"});
  EXPECT_EQ(unwritable.exit_code, 2);
  EXPECT_EQ(unwritable.err, "rngacq-check: cannot write no-such-folder/report.html\n");
  EXPECT_TRUE(Holds(unwritable.out, "good.bin\n  Bytes: 100000\n"));
  const auto empty = Check({"--html=", "good.bin"});
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_EQ(empty.err.substr(0, empty.err.find('\n')), "rngacq-check: unknown option --html=");
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
