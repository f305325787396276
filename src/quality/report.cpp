#include "quality/report.h"

#include <cmath>
#include <cstdio>
#include <iterator>

namespace quality {
namespace {

struct Label {
  std::string_view key, text;
};
constexpr Label kLabels[] = {
    {"S001", "Bytes"},
    {"S002", "Entropy"},
    {"S003", "bits per byte"},
    {"S004", "Chi square"},
    {"S005", "random data would exceed it in"},
    {"S006", "percent of cases"},
    {"S007", "less than"},
    {"S008", "more than"},
    {"S009", "Arithmetic mean"},
    {"S010", "(127.5 = random)"},
    {"S011", "Monte Carlo value for pi"},
    {"S012", "error"},
    {"S013", "percent"},
    {"S014", "Serial correlation"},
    {"S015", "undefined (all bytes equal)"},
    {"S016", "Min-entropy (most common value)"},
    {"S017", "samples"},
    {"S018", "FIPS 140-2 blocks"},
    {"S019", "successes"},
    {"S020", "failures"},
    {"S021", "failure limit"},
    {"S022", "monobit"},
    {"S023", "poker"},
    {"S024", "runs"},
    {"S025", "long run"},
    {"S026", "continuous run"},
    {"S027", "Repetition count test"},
    {"S028", "Adaptive proportion test"},
    {"S029", "cutoffs (warning/failure)"},
    {"S030", "warnings"},
    {"S031", "at byte"},
    {"S032", "claimed min-entropy"},
    {"S033", "Verdict"},
    {"S034", "pass"},
    {"S035", "warning"},
    {"S036", "fail"},
    {"S037", "FIPS 140-2 blocks failed"},
    {"S038", "Health warning"},
    {"S039", "Health failure"},
    {"S040", "not available"},
    {"S041", "Block repetition test"},
};

std::string Format(const char* format, double value) {
  if (std::isnan(value)) return {};
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
std::string Number(std::uint64_t value) {
  return std::to_string(value);
}

std::string_view VerdictKey(Verdict v) {
  return v == Verdict::Pass ? "S034" : v == Verdict::Warning ? "S035" : "S036";
}

std::string TestCounts(const HealthResult& h, const LabelLookup& l) {
  std::string line = l("S029") + " " + Number(h.warning_cutoff) + "/" + Number(h.failure_cutoff) + ", " +
                     l("S030") + " " + Number(h.warnings) + ", " + l("S020") + " " + Number(h.failures);
  if (h.warnings > 0) {
    line += ", " + l("S030") + " " + l("S031");
    for (std::size_t i = 0; i < std::min<std::uint64_t>(h.warnings, HealthResult::kKept); ++i)
      line += (i ? ", " : " ") + Number(h.warning_offsets[i]);
    if (h.warnings > HealthResult::kKept) line += ", ...";
  }
  if (h.failures > 0) line += ", " + l("S020") + " " + l("S031") + " " + Number(h.first_failure_offset);
  return line;
}

}  // namespace

std::string DefaultLabel(std::string_view key) {
  for (const Label& label : kLabels)
    if (label.key == key) return std::string(label.text);
  return {};
}

std::string_view VerdictName(Verdict verdict) {
  return verdict == Verdict::Pass ? "pass" : verdict == Verdict::Warning ? "warning" : "fail";
}

std::string HealthEventLine(const HealthEvent& e, const LabelLookup& l) {
  return l(e.level == HealthLevel::Warning ? "S038" : "S039") + ": " +
         l(e.test == HealthTest::RepetitionCount      ? "S027"
           : e.test == HealthTest::AdaptiveProportion ? "S028"
                                                      : "S041") +
         " " + l("S031") + " " + Number(e.offset);
}

std::string VerdictLine(const Results& r, const LabelLookup& l) {
  std::string line = l("S033") + ": " + l(VerdictKey(r.verdict));
  const auto health = [&](const HealthResult& h, std::string_view key, bool failure) {
    if (failure ? h.failures == 0 : h.warnings == 0) return;
    line += "; " + l(key) + " " + l("S031") + " " +
            Number(failure ? h.first_failure_offset : h.warning_offsets[0]);
  };
  const bool fail = r.verdict == Verdict::Fail;
  health(r.rct, "S027", fail);
  health(r.apt, "S028", fail);
  health(r.repeat, "S041", fail);
  if (r.fips.failures > r.fips_failure_limit)
    line += "; " + Number(r.fips.failures) + " " + l("S037") + " (" + l("S021") + " " +
            Number(r.fips_failure_limit) + ")";
  return line;
}

std::vector<std::string> ReportLines(const Results& r, const LabelLookup& l) {
  const Statistics& s = r.statistics;
  const std::string na = l("S040");
  const auto or_na = [&](std::string text) { return text.empty() ? na : text; };
  std::string percent;
  if (s.chi_square_percent < 0.01) {
    percent = l("S007") + " 0.01";
  } else if (s.chi_square_percent > 99.99) {
    percent = l("S008") + " 99.99";
  } else {
    percent = or_na(Format("%1.2f", s.chi_square_percent));
  }
  const FipsResult& f = r.fips;
  const auto& t = f.test_failures;
  return {
      l("S001") + ": " + Number(s.bytes),
      l("S002") + ": " + or_na(Format("%f", s.entropy)) + " " + l("S003"),
      l("S004") + ": " + or_na(Format("%1.2f", s.chi_square)) + ", " + l("S005") + " " + percent + " " +
          l("S006"),
      l("S009") + ": " + or_na(Format("%1.4f", s.mean)) + " " + l("S010"),
      l("S011") + ": " + or_na(Format("%1.9f", s.monte_carlo_pi)) + " (" + l("S012") + " " +
          or_na(Format("%1.2f", s.monte_carlo_error_percent)) + " " + l("S013") + ")",
      l("S014") + ": " + (s.serial_defined ? Format("%1.6f", s.serial_correlation) : l("S015")),
      l("S016") + ": " + or_na(Format("%f", s.min_entropy_mcv)) + " " + l("S003") + ", " +
          Number(s.mcv_samples) + " " + l("S017"),
      l("S018") + ": " + Number(f.blocks) + ", " + l("S019") + " " + Number(f.successes) + ", " + l("S020") +
          " " + Number(f.failures) + " (" + l("S021") + " " + Number(r.fips_failure_limit) + "; " +
          l("S022") + " " + Number(t[kMonobit]) + ", " + l("S023") + " " + Number(t[kPoker]) + ", " +
          l("S024") + " " + Number(t[kRuns]) + ", " + l("S025") + " " + Number(t[kLongRun]) + ", " +
          l("S026") + " " + Number(t[kContinuousRun]) + ")",
      l("S027") + " (" + l("S032") + " " + Format("%g", r.entropy_claim) + "): " + TestCounts(r.rct, l),
      l("S028") + " (" + l("S032") + " " + Format("%g", r.entropy_claim) + "): " + TestCounts(r.apt, l),
      l("S041") + " (" + l("S032") + " " + Format("%g", r.entropy_claim) + "): " + TestCounts(r.repeat, l),
      VerdictLine(r, l),
  };
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;  // UTF-8 passes through; other bytes as they are
    }
  }
  out += '"';
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

namespace {

std::string JsonHealth(const HealthResult& h) {
  return "{\"cutoff\":" + Number(h.warning_cutoff) + ",\"failure_cutoff\":" + Number(h.failure_cutoff) +
         ",\"warnings\":" + Number(h.warnings) + ",\"failures\":" + Number(h.failures) + "}";
}

}  // namespace

std::string JsonLine(std::string_view file, const Results& r, std::string_view members) {
  const Statistics& s = r.statistics;
  const auto& t = r.fips.test_failures;
  std::string out = "{\"file\":";
  AppendJsonString(out, file);
  out += ",\"bytes\":" + Number(s.bytes) + ",\"entropy\":" + JsonNumber(s.entropy) +
         ",\"chi_square\":" + JsonNumber(s.chi_square) +
         ",\"chi_square_percent\":" + JsonNumber(s.chi_square_percent) + ",\"mean\":" + JsonNumber(s.mean) +
         ",\"monte_carlo_pi\":" + JsonNumber(s.monte_carlo_pi) +
         ",\"monte_carlo_error_percent\":" + JsonNumber(s.monte_carlo_error_percent) +
         ",\"serial_correlation\":" + (s.serial_defined ? JsonNumber(s.serial_correlation) : "null") +
         ",\"min_entropy_mcv\":" + JsonNumber(s.min_entropy_mcv) +
         ",\"mcv_samples\":" + Number(s.mcv_samples) + ",\"fips\":{\"blocks\":" + Number(r.fips.blocks) +
         ",\"successes\":" + Number(r.fips.successes) + ",\"failures\":" + Number(r.fips.failures) +
         ",\"failure_limit\":" + Number(r.fips_failure_limit) + ",\"monobit\":" + Number(t[kMonobit]) +
         ",\"poker\":" + Number(t[kPoker]) + ",\"runs\":" + Number(t[kRuns]) +
         ",\"long_run\":" + Number(t[kLongRun]) + ",\"continuous_run\":" + Number(t[kContinuousRun]) +
         "},\"rct\":" + JsonHealth(r.rct) + ",\"apt\":" + JsonHealth(r.apt) +
         ",\"block_repeat\":" + JsonHealth(r.repeat) + ",\"entropy_claim\":" + JsonNumber(r.entropy_claim) +
         ",\"verdict\":\"" + std::string(VerdictName(r.verdict)) + "\"";
  if (!members.empty()) (out += ',') += members;
  return out += '}';
}

}  // namespace quality
