#include "quality/assessment_report.h"

#include <cmath>
#include <cstdio>

#include "quality/report.h"

namespace quality {
namespace {

constexpr int kNameWidth = 36;

std::string Printed(const char* format, auto... values) {
  char text[160];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// A min-entropy in a table column: six decimals, or "-" where the estimator did not run.
std::string Cell(double value) {
  return std::isnan(value) ? "-" : Printed("%.6f", value);
}

const Estimate* Find(const std::vector<Estimate>& estimates, std::string_view name) {
  for (const Estimate& e : estimates)
    if (e.name == name) return &e;
  return nullptr;
}

double EntropyOf(const Estimate* e) {
  return e != nullptr && e->applicable ? e->min_entropy : std::nan("");
}

std::string Row(std::string_view name, const std::string& first, const std::string& second) {
  return Printed("  %-*.*s %12s %12s", kNameWidth, static_cast<int>(name.size()), name.data(), first.c_str(),
                 second.c_str());
}

std::string JsonBool(bool value) {
  return value ? "true" : "false";
}

std::string JsonEstimates(const std::vector<Estimate>& estimates) {
  std::string out = "[";
  for (const Estimate& e : estimates) {
    if (out.size() > 1) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, e.name);
    out += ",\"section\":";
    AppendJsonString(out, e.section);
    out += ",\"applicable\":" + JsonBool(e.applicable) + ",\"min_entropy\":" + JsonNumber(e.min_entropy);
    if (!e.applicable) {
      out += ",\"reason\":";
      AppendJsonString(out, e.reason);
    }
    out += ",\"figures\":{";
    for (std::size_t i = 0; i < e.figures.size(); ++i) {
      if (i != 0) out += ',';
      AppendJsonString(out, e.figures[i].name);
      out += ':' + JsonNumber(e.figures[i].value);
    }
    out += "}}";
  }
  return out + "]";
}

}  // namespace

std::vector<std::string> AssessmentLines(const NonIidReport& report) {
  const NonIidResult& r = report.result;
  std::vector<std::string> lines;
  lines.push_back(
      Printed("SP 800-90B non-IID assessment: %llu samples of %u bits, %u distinct values, %.1f s",
              static_cast<unsigned long long>(r.samples), r.bits, r.distinct, report.seconds));
  if (r.distinct < 2) {
    lines.push_back("  a single value: no entropy");
  } else {
    const bool bitstring = !r.bitstring.empty();
    lines.push_back(Row("min-entropy estimate", "per sample", bitstring ? "per bit" : ""));
    for (const Estimate& e : r.original.size() >= r.bitstring.size() ? r.original : r.bitstring) {
      const std::string name = std::string(e.name) + " (" + e.section + ")";
      lines.push_back(Row(name, Cell(EntropyOf(Find(r.original, e.name))),
                          bitstring ? Cell(EntropyOf(Find(r.bitstring, e.name))) : ""));
    }
    for (const std::vector<Estimate>* estimates : {&r.original, &r.bitstring})
      for (const Estimate& e : *estimates)
        if (!e.applicable) lines.push_back(Printed("  %s: not applicable, %s", e.name, e.reason));
    lines.push_back(Row("minimum", Cell(r.h_original), bitstring ? Cell(r.h_bitstring) : ""));
  }
  std::string assessed = Printed("Assessed min-entropy: %.6f bits per sample", r.h_assessed);
  if (!r.bitstring.empty()) {
    assessed += Printed(" (the smaller of %.6f and %u x %.6f)", r.h_original, r.bits, r.h_bitstring);
  }
  lines.push_back(assessed);
  if (report.claim) {
    const InitialEntropy& c = *report.claim;
    lines.push_back(Printed("Entropy claim %g bits per sample: %s; H_I = %.6f", c.claimed,
                            c.claim_supported ? "holds" : "not supported by the assessment", c.h_initial));
  }
  return lines;
}

std::vector<std::string> AssessmentLines(const IidReport& report) {
  const IidResult& r = report.result;
  std::vector<std::string> lines;
  lines.push_back(
      Printed("SP 800-90B IID track: %llu samples of %u bits, %u distinct values, %u permutations "
              "(seed %llu), %.1f s",
              static_cast<unsigned long long>(r.samples), r.bits, r.distinct, r.permutations_run,
              static_cast<unsigned long long>(report.seed), report.seconds));
  if (!r.permutation.empty()) {
    lines.push_back(Printed("  %-*s %14s %8s %8s  %s", kNameWidth - 2, "permutation test statistic", "value",
                            "greater", "equal", "result"));
    for (const IidStatistic& st : r.permutation) {
      lines.push_back(st.available ? Printed("  %-*s %14.6g %8u %8u  %s", kNameWidth - 2, st.name, st.value,
                                             st.greater, st.equal, st.passed ? "pass" : "FAIL")
                                   : Printed("  %-*s %14s %8s %8s  not available in this build",
                                             kNameWidth - 2, st.name, "-", "-", "-"));
    }
    for (const IidChiSquare* c : {&r.independence, &r.goodness_of_fit}) {
      lines.push_back(Printed("  %s: %.6g, %d degrees of freedom, p-value %.6g: %s", c->name, c->statistic,
                              c->degrees_of_freedom, c->p_value, c->passed ? "pass" : "FAIL"));
    }
    const IidLongestRepeat& lrs = r.longest_repeat;
    lines.push_back(Printed("  longest repeated substring: %llu samples, P(X >= 1) = %.6g: %s",
                            static_cast<unsigned long long>(lrs.w), lrs.probability,
                            lrs.passed ? "pass" : "FAIL"));
  }
  lines.push_back(r.iid ? std::string("IID: yes") : Printed("IID: no, rejected by %s", r.deciding));
  lines.push_back(Printed("Most common value: %.6f bits per sample, min-entropy %.6f bits per sample%s",
                          r.h_original, r.h_mcv, r.iid ? "" : " (not credited: the samples are not IID)"));
  if (report.claim) {
    lines.push_back(Printed("Entropy claim %g bits per sample: %s", *report.claim,
                            report.Holds() ? "holds" : "not supported by the IID track"));
  }
  return lines;
}

std::vector<std::string> AssessmentLines(const RestartResult& r) {
  std::vector<std::string> lines;
  lines.push_back(
      Printed("SP 800-90B restart tests: %zu restarts of %zu samples of %u bits, %u distinct values", r.rows,
              r.columns, r.bits, r.distinct));
  if (r.rows != 1000) lines.push_back("  (SP 800-90B asks for 1000 restarts)");
  lines.push_back(
      Printed("Sanity check (H_I %g, alpha %.3g): largest count in a row %u, in a column %u, "
              "cut-off %u: %s",
              r.h_initial, r.alpha, r.largest_row, r.largest_column, r.cutoff,
              r.sanity_passed ? "passed" : "FAILED"));
  if (!r.sanity_passed) return lines;
  lines.push_back(Row("min-entropy estimate", "rows", "columns"));
  for (const RestartEstimate& e : r.estimates) lines.push_back(Row(e.name, Cell(e.rows), Cell(e.columns)));
  lines.push_back(Row("minimum", Cell(r.h_rows), Cell(r.h_columns)));
  if (r.validated) {
    lines.push_back(Printed("Validation: passed; min(H_r, H_c, H_I) = %.6f bits per sample", r.h_min));
  } else {
    lines.push_back(Printed("Validation: FAILED, min(H_r, H_c) below H_I / 2 = %.6f", r.h_initial / 2));
  }
  return lines;
}

std::string AssessmentJson(const NonIidReport& report) {
  const NonIidResult& r = report.result;
  std::string out =
      "\"assessment\":{\"track\":\"non-iid\",\"bits\":" + std::to_string(r.bits) +
      ",\"samples\":" + std::to_string(r.samples) + ",\"distinct\":" + std::to_string(r.distinct) +
      ",\"seconds\":" + JsonNumber(report.seconds) + ",\"original\":" + JsonEstimates(r.original) +
      ",\"bitstring\":" + JsonEstimates(r.bitstring) + ",\"h_original\":" + JsonNumber(r.h_original) +
      ",\"h_bitstring\":" + JsonNumber(r.h_bitstring) + ",\"h_assessed\":" + JsonNumber(r.h_assessed);
  if (report.claim) {
    out += ",\"claim\":" + JsonNumber(report.claim->claimed) +
           ",\"h_initial\":" + JsonNumber(report.claim->h_initial) +
           ",\"claim_supported\":" + JsonBool(report.claim->claim_supported);
  }
  return out + ",\"holds\":" + JsonBool(report.Holds()) + "}";
}

std::string AssessmentJson(const IidReport& report) {
  const IidResult& r = report.result;
  const auto chi = [](const IidChiSquare& c) {
    return "{\"statistic\":" + JsonNumber(c.statistic) +
           ",\"degrees_of_freedom\":" + std::to_string(c.degrees_of_freedom) +
           ",\"p_value\":" + JsonNumber(c.p_value) + ",\"passed\":" + JsonBool(c.passed) + "}";
  };
  std::string out =
      "\"assessment\":{\"track\":\"iid\",\"bits\":" + std::to_string(r.bits) +
      ",\"samples\":" + std::to_string(r.samples) + ",\"distinct\":" + std::to_string(r.distinct) +
      ",\"seed\":" + std::to_string(report.seed) + ",\"seconds\":" + JsonNumber(report.seconds) +
      ",\"permutations_run\":" + std::to_string(r.permutations_run) +
      ",\"permutation_complete\":" + JsonBool(r.permutation_complete) +
      ",\"permutation_passed\":" + JsonBool(r.permutation_passed) + ",\"permutation\":[";
  for (std::size_t i = 0; i < r.permutation.size(); ++i) {
    const IidStatistic& st = r.permutation[i];
    if (i != 0) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, st.name);
    out += ",\"value\":" + JsonNumber(st.value) + ",\"greater\":" + std::to_string(st.greater) +
           ",\"equal\":" + std::to_string(st.equal) + ",\"less\":" + std::to_string(st.less) +
           ",\"available\":" + JsonBool(st.available) + ",\"passed\":" + JsonBool(st.passed) + "}";
  }
  const IidLongestRepeat& lrs = r.longest_repeat;
  out += "],\"independence\":" + chi(r.independence) + ",\"goodness_of_fit\":" + chi(r.goodness_of_fit) +
         ",\"longest_repeat\":{\"w\":" + std::to_string(lrs.w) + ",\"p_col\":" + JsonNumber(lrs.p_col) +
         ",\"probability\":" + JsonNumber(lrs.probability) + ",\"passed\":" + JsonBool(lrs.passed) +
         "},\"iid\":" + JsonBool(r.iid) + ",\"deciding\":";
  AppendJsonString(out, r.deciding);
  out += ",\"h_original\":" + JsonNumber(r.h_original) + ",\"h_bitstring\":" + JsonNumber(r.h_bitstring) +
         ",\"h_mcv\":" + JsonNumber(r.h_mcv);
  if (report.claim) out += ",\"claim\":" + JsonNumber(*report.claim);
  return out + ",\"holds\":" + JsonBool(report.Holds()) + "}";
}

std::string AssessmentJson(const RestartResult& r) {
  std::string out = "\"assessment\":{\"track\":\"restart\",\"bits\":" + std::to_string(r.bits) +
                    ",\"rows\":" + std::to_string(r.rows) + ",\"columns\":" + std::to_string(r.columns) +
                    ",\"distinct\":" + std::to_string(r.distinct) +
                    ",\"h_initial\":" + JsonNumber(r.h_initial) + ",\"alpha\":" + JsonNumber(r.alpha) +
                    ",\"cutoff\":" + std::to_string(r.cutoff) +
                    ",\"largest_row\":" + std::to_string(r.largest_row) +
                    ",\"largest_column\":" + std::to_string(r.largest_column) +
                    ",\"sanity_passed\":" + JsonBool(r.sanity_passed) + ",\"estimates\":[";
  for (std::size_t i = 0; i < r.estimates.size(); ++i) {
    if (i != 0) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, r.estimates[i].name);
    out += ",\"rows\":" + JsonNumber(r.estimates[i].rows) +
           ",\"columns\":" + JsonNumber(r.estimates[i].columns) + "}";
  }
  return out + "],\"h_rows\":" + JsonNumber(r.h_rows) + ",\"h_columns\":" + JsonNumber(r.h_columns) +
         ",\"validated\":" + JsonBool(r.validated) + ",\"h_min\":" + JsonNumber(r.h_min) +
         ",\"holds\":" + JsonBool(r.validated) + "}";
}

}  // namespace quality
