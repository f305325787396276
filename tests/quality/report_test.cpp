// The checker's report, line by line and as JSON, for results made by hand: what a reader of
// rngacq-check's output sees for each figure, count and verdict.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quality/checker.h"
#include "quality/report.h"

namespace {

quality::HealthResult Health(std::uint32_t warning_cutoff, std::uint32_t failure_cutoff,
                             std::uint64_t warnings, std::uint64_t failures) {
  quality::HealthResult h;
  h.warning_cutoff = warning_cutoff;
  h.failure_cutoff = failure_cutoff;
  h.warnings = warnings;
  h.failures = failures;
  for (std::size_t i = 0; i < h.warning_offsets.size(); ++i) h.warning_offsets[i] = 10 + i;
  h.first_failure_offset = failures > 0 ? 100 : 0;
  return h;
}

// A file that failed: each figure distinct, the repetition count test with more warnings than
// are kept and a failure, the block repetition test with one warning, two FIPS blocks failed.
quality::Results FailedFile() {
  quality::Results r;
  r.entropy_claim = 7.5;
  r.statistics = {.bytes = 12345,
                  .entropy = 7.5,
                  .chi_square = 250.5,
                  .chi_square_percent = 55.25,
                  .mean = 127.25,
                  .monte_carlo_pi = 3.14159,
                  .monte_carlo_error_percent = 0.5,
                  .serial_defined = true,
                  .serial_correlation = -0.0009765625,
                  .min_entropy_mcv = 7.125,
                  .mcv_samples = 12340};
  r.fips.blocks = 3;
  r.fips.successes = 1;
  r.fips.failures = 2;
  r.fips.test_failures = {1, 0, 2, 0, 1};
  r.fips_failure_limit = 0;
  r.rct = Health(5, 9, 9, 2);
  r.apt = Health(16, 25, 0, 0);
  r.repeat = Health(4, 8, 1, 0);
  r.verdict = quality::Verdict::Fail;
  return r;
}

void ExpectLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "line " << i + 1;
}

TEST(Report, EveryLineOfAFailedFile) {
  ExpectLines(
      quality::ReportLines(FailedFile()),
      {
          "Bytes: 12345",
          "Entropy: 7.500000 bits per byte",
          "Chi square: 250.50, random data would exceed it in 55.25 percent of cases",
          "Arithmetic mean: 127.2500 (127.5 = random)",
          "Monte Carlo value for pi: 3.141590000 (error 0.50 percent)",
          "Serial correlation: -0.000977",
          "Min-entropy (most common value): 7.125000 bits per byte, 12340 samples",
          "FIPS 140-2 blocks: 3, successes 1, failures 2 (failure limit 0; monobit 1, poker 0, runs 2, "
          "long run 0, continuous run 1)",
          "Repetition count test (claimed min-entropy 7.5): cutoffs (warning/failure) 5/9, warnings 9, "
          "failures 2, warnings at byte 10, 11, 12, 13, 14, 15, 16, 17, ..., failures at byte 100",
          "Adaptive proportion test (claimed min-entropy 7.5): cutoffs (warning/failure) 16/25, "
          "warnings 0, failures 0",
          "Block repetition test (claimed min-entropy 7.5): cutoffs (warning/failure) 4/8, warnings 1, "
          "failures 0, warnings at byte 10",
          "Verdict: fail; Repetition count test at byte 100; 2 FIPS 140-2 blocks failed (failure limit 0)",
      });
}

TEST(Report, WarningsListedUpToTheEighthWithoutAnEllipsis) {
  quality::Results r = FailedFile();
  r.rct = Health(5, 9, 8, 0);
  EXPECT_EQ(quality::ReportLines(r)[8],
            "Repetition count test (claimed min-entropy 7.5): cutoffs (warning/failure) 5/9, warnings 8, "
            "failures 0, warnings at byte 10, 11, 12, 13, 14, 15, 16, 17");
}

TEST(Report, VerdictLineNamesWhatDecidedIt) {
  struct Row {
    const char* name;
    quality::Verdict verdict;
    std::uint64_t fips_failures;
    std::uint64_t fips_failure_limit;
    std::string line;
  };
  const Row rows[] = {
      {.name = "a failure names each failed test's first failing byte",
       .verdict = quality::Verdict::Fail,
       .fips_failures = 2,
       .fips_failure_limit = 1,
       .line =
           "Verdict: fail; Repetition count test at byte 100; 2 FIPS 140-2 blocks failed (failure limit 1)"},
      {.name = "a warning names each warned test's first warning",
       .verdict = quality::Verdict::Warning,
       .fips_failures = 1,
       .fips_failure_limit = 1,
       .line = "Verdict: warning; Repetition count test at byte 10; Block repetition test at byte 10"},
      {.name = "a pass with failed blocks within the limit names nothing",
       .verdict = quality::Verdict::Pass,
       .fips_failures = 3,
       .fips_failure_limit = 3,
       .line = "Verdict: pass"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    quality::Results r = FailedFile();
    r.verdict = row.verdict;
    r.fips.failures = row.fips_failures;
    r.fips_failure_limit = row.fips_failure_limit;
    if (row.verdict == quality::Verdict::Pass) r.rct = r.repeat = Health(5, 9, 0, 0);
    EXPECT_EQ(quality::VerdictLine(r), row.line);
  }
}

TEST(Report, ChiSquarePercentIsBoundedAtTheFourNinesAndFiguresMissingAreSaid) {
  struct Row {
    double percent;
    std::string shown;
  };
  const Row rows[] = {
      {0.0099, "less than 0.01"}, {0.01, "0.01"}, {99.99, "99.99"}, {99.991, "more than 99.99"}};
  for (const Row& row : rows) {
    quality::Results r = FailedFile();
    r.statistics.chi_square_percent = row.percent;
    EXPECT_EQ(quality::ReportLines(r)[2],
              "Chi square: 250.50, random data would exceed it in " + row.shown + " percent of cases")
        << row.percent;
  }
  quality::Results r = FailedFile();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  r.statistics.monte_carlo_pi = r.statistics.monte_carlo_error_percent = nan;
  r.statistics.serial_defined = false;
  const auto lines = quality::ReportLines(r);
  EXPECT_EQ(lines[4], "Monte Carlo value for pi: not available (error not available percent)");
  EXPECT_EQ(lines[5], "Serial correlation: undefined (all bytes equal)");
}

TEST(Report, JsonLineOfAFailedFile) {
  quality::Results r = FailedFile();
  r.statistics.monte_carlo_pi = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(quality::JsonLine("f.bin", r),
            R"({"file":"f.bin","bytes":12345,"entropy":7.5,"chi_square":250.5,"chi_square_percent":55.25,)"
            R"("mean":127.25,"monte_carlo_pi":null,"monte_carlo_error_percent":0.5,)"
            R"("serial_correlation":-0.0009765625,"min_entropy_mcv":7.125,"mcv_samples":12340,)"
            R"("fips":{"blocks":3,"successes":1,"failures":2,"failure_limit":0,"monobit":1,"poker":0,)"
            R"("runs":2,"long_run":0,"continuous_run":1},)"
            R"("rct":{"cutoff":5,"failure_cutoff":9,"warnings":9,"failures":2},)"
            R"("apt":{"cutoff":16,"failure_cutoff":25,"warnings":0,"failures":0},)"
            R"("block_repeat":{"cutoff":4,"failure_cutoff":8,"warnings":1,"failures":0},)"
            R"("entropy_claim":7.5,"verdict":"fail"})");
  r.statistics.serial_defined = false;
  r.verdict = quality::Verdict::Warning;
  const std::string json = quality::JsonLine("f.bin", r);
  EXPECT_NE(json.find(R"("serial_correlation":null,)"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("verdict":"warning"})"), std::string::npos) << json;
}

TEST(Report, HealthEventLines) {
  using enum quality::HealthTest;
  using enum quality::HealthLevel;
  EXPECT_EQ(quality::HealthEventLine({RepetitionCount, Warning, 7}),
            "Health warning: Repetition count test at byte 7");
  EXPECT_EQ(quality::HealthEventLine({AdaptiveProportion, Failure, 8}),
            "Health failure: Adaptive proportion test at byte 8");
  EXPECT_EQ(quality::HealthEventLine({BlockRepetition, Warning, 9}),
            "Health warning: Block repetition test at byte 9");
}

}  // namespace
