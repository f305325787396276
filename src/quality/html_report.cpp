#include "quality/html_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "quality/axis.h"
#include "quality/picture.h"
#include "quality/report.h"

namespace quality {
namespace {

constexpr const char* kStyle = R"(
body { font-family: sans-serif; margin: 2em; color: #222; }
section { border-top: 1px solid #ccc; margin-top: 2em; }
.pass { color: #070; } .warning { color: #b60; } .fail { color: #c00; }
p.verdict { font-weight: bold; font-size: 1.1em; }
.figures { display: flex; flex-wrap: wrap; gap: 1.5em; align-items: flex-start; }
figure { margin: 0; }
figcaption { font-size: 0.85em; color: #555; max-width: 60em; }
img.bitmap { image-rendering: pixelated; border: 1px solid #bbb; }
ul.statistics { font-size: 0.9em; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
td.bad { color: #c00; font-weight: bold; } td.warn { color: #b60; }
svg text { font-family: sans-serif; font-size: 11px; fill: #333; }
svg text.title { font-size: 12px; }
.axis { stroke: #333; } .grid { stroke: #e4e4e4; }
.bar { fill: #28288f; } .bar.out { fill: #d40000; }
.band { fill: #3a3; fill-opacity: 0.25; }
.expected { stroke: #d40000; stroke-width: 1.5; }
.estimate { fill: #28288f; } .estimate.below { fill: #d40000; }
line.claim { stroke: #080; stroke-width: 2; stroke-dasharray: 5 3; }
line.final { stroke: #d40000; stroke-width: 2; }
line.threshold { stroke: #b60; stroke-width: 1.5; stroke-dasharray: 2 2; }
text.claim { fill: #080; } text.final { fill: #d40000; } text.threshold { fill: #b60; }
)";

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}
// A coordinate in an SVG attribute.
std::string At(double value) {
  return Fixed(value, 1);
}
std::string General(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string_view VerdictClass(Verdict v) {
  return VerdictName(v);  // the CSS classes are the verdicts' names
}

std::string SvgText(double x, double y, std::string_view text, std::string_view attributes = {}) {
  std::string out = "<text x=\"" + At(x) + "\" y=\"" + At(y) + "\"";
  if (!attributes.empty()) out += " " + std::string(attributes);
  return out + ">" + HtmlEscape(text) + "</text>";
}
std::string SvgLine(double x1, double y1, double x2, double y2, std::string_view cls) {
  return "<line class=\"" + std::string(cls) + "\" x1=\"" + At(x1) + "\" y1=\"" + At(y1) + "\" x2=\"" +
         At(x2) + "\" y2=\"" + At(y2) + "\"/>";
}
std::string SvgOpen(std::string_view cls, double width, double height, std::string_view label) {
  return "<svg class=\"" + std::string(cls) + "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + At(width) +
         "\" height=\"" + At(height) + "\" viewBox=\"0 0 " + At(width) + " " + At(height) +
         "\" role=\"img\" aria-label=\"" + HtmlEscape(label) + "\">";
}
// Decimals enough to tell ticks `step` apart.
int DecimalsOf(double step) {
  return std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
}

// The histogram zoomed to its counts and the +-4 sigma around the expected count, so that the
// deviations of good data show; a bar outside the +-3 sigma band is drawn in its own colour.
std::string HistogramSvg(const std::array<std::uint64_t, 256>& histogram) {
  constexpr double kLeft = 64, kTop = 12, kBar = 3, kPlotWidth = 256 * kBar, kPlotHeight = 240;
  constexpr double kWidth = kLeft + kPlotWidth + 90, kHeight = kTop + kPlotHeight + 44;
  double total = 0, lowest = INFINITY, highest = 0;
  for (const std::uint64_t c : histogram) {
    total += static_cast<double>(c);
    lowest = std::min(lowest, static_cast<double>(c));
    highest = std::max(highest, static_cast<double>(c));
  }
  const double expected = total / 256, sigma = std::sqrt(total * (1.0 / 256) * (255.0 / 256));
  double low = std::min(expected - 4 * sigma, lowest), high = std::max(expected + 4 * sigma, highest);
  const double pad = (high - low) * 0.05;
  low = std::max(0.0, low - pad);
  high = std::max(high + pad, low + 1);
  const auto y_of = [&](double count) { return kTop + (high - count) / (high - low) * kPlotHeight; };
  const double bottom = kTop + kPlotHeight;

  std::string out = SvgOpen("histogram", kWidth, kHeight, "Byte histogram");
  const double step = NiceStep(high - low, 5);
  for (double t = std::ceil(low / step) * step; t <= high; t += step) {
    out += SvgLine(kLeft - 4, y_of(t), kLeft + kPlotWidth, y_of(t), "grid");
    out += SvgText(kLeft - 6, y_of(t) + 4, Fixed(t, DecimalsOf(step)), "text-anchor=\"end\"");
  }
  for (std::size_t v = 0; v < 256; ++v) {
    const double count = static_cast<double>(histogram[v]);
    const bool out_of_band = std::abs(count - expected) > 3 * sigma;
    out += "<rect class=\"bar" + std::string(out_of_band ? " out" : "") + "\" x=\"" +
           At(kLeft + kBar * static_cast<double>(v)) + "\" y=\"" + At(y_of(count)) + "\" width=\"" +
           At(kBar - 0.4) + "\" height=\"" + At(bottom - y_of(count)) + "\"><title>byte " +
           std::to_string(v) + ": " + std::to_string(histogram[v]) + "</title></rect>";
  }
  // The band over the bars, translucent, so that it shows where the bars cross it.
  const double band_top = y_of(expected + 3 * sigma), band_bottom = y_of(expected - 3 * sigma);
  out += "<rect class=\"band\" x=\"" + At(kLeft) + "\" y=\"" + At(band_top) + "\" width=\"" + At(kPlotWidth) +
         "\" height=\"" + At(std::max(band_bottom - band_top, 1.0)) + "\"/>";
  out += SvgLine(kLeft, y_of(expected), kLeft + kPlotWidth, y_of(expected), "expected");
  const double right = kLeft + kPlotWidth + 6;
  out += SvgText(right, y_of(expected) + 4, "expected " + Fixed(expected, 1));
  out += SvgText(right, band_top + 4, "+3\xCF\x83");
  out += SvgText(right, band_bottom + 4, "\xE2\x88\x92\x33\xCF\x83");
  out += SvgLine(kLeft - 1, kTop, kLeft - 1, bottom, "axis");
  out += SvgLine(kLeft - 1, bottom, kLeft + kPlotWidth, bottom, "axis");
  for (int v = 0; v <= 256; v += 32) {
    const int value = std::min(v, 255);
    const double x = kLeft + kBar * (value + 0.5);
    out += SvgLine(x, bottom, x, bottom + 4, "axis");
    out += SvgText(x, bottom + 16, std::to_string(value), "text-anchor=\"middle\"");
  }
  out += SvgText(kLeft + kPlotWidth / 2, kHeight - 6, "byte value", "class=\"title\" text-anchor=\"middle\"");
  out += SvgText(0, 0, "count",
                 "class=\"title\" text-anchor=\"middle\" transform=\"translate(14 " +
                     At(kTop + kPlotHeight / 2) + ") rotate(-90)\"");
  return out + "</svg>";
}

std::string CountsTables(const Results& r) {
  const auto cell = [](std::uint64_t value, std::string_view bad_class) {
    return std::string("<td") +
           (value > 0 && !bad_class.empty() ? " class=\"" + std::string(bad_class) + "\"" : "") + ">" +
           std::to_string(value) + "</td>";
  };
  const auto header = [](std::initializer_list<std::string> names) {
    std::string out = "<thead><tr>";
    for (const std::string& name : names) out += "<th>" + HtmlEscape(name) + "</th>";
    return out + "</tr></thead>";
  };
  const auto l = DefaultLabel;
  std::string out = "<table class=\"health\">" +
                    header({"Health test (claimed min-entropy " + General(r.entropy_claim) + ")",
                            "Cut-offs (warning/failure)", "Warnings", "Failures"}) +
                    "<tbody>";
  const std::pair<const char*, const HealthResult*> tests[] = {
      {"S027", &r.rct}, {"S028", &r.apt}, {"S041", &r.repeat}};
  for (const auto& [key, h] : tests) {
    out += "<tr><td>" + HtmlEscape(l(key)) + "</td><td>" + std::to_string(h->warning_cutoff) + "/" +
           std::to_string(h->failure_cutoff) + "</td>" + cell(h->warnings, "warn") +
           cell(h->failures, "bad") + "</tr>";
  }
  out += "</tbody></table>";
  const FipsResult& f = r.fips;
  out += "<table class=\"fips\">" +
         header({l("S018"), "Successes", "Failures", "Failure limit", l("S022"), l("S023"), l("S024"),
                 l("S025"), l("S026")}) +
         "<tbody><tr>" + cell(f.blocks, {}) + cell(f.successes, {}) +
         cell(f.failures, f.failures > r.fips_failure_limit ? "bad" : "warn") +
         cell(r.fips_failure_limit, {});
  for (const std::uint64_t failures : f.test_failures) out += cell(failures, "warn");
  return out + "</tr></tbody></table>";
}

// One bar of an entropy chart, in bits per sample; NaN where the estimator did not run.
struct ChartRow {
  std::string label;
  double value;
};
struct ChartLine {
  std::string_view cls;  // claim, final or threshold
  std::string label;
  double value;
};

// Horizontal bars from 0 to the sample width, with a vertical line for each figure they stand against.
std::string EntropyChart(const std::vector<ChartRow>& rows, unsigned bits,
                         const std::vector<ChartLine>& lines, std::optional<double> claim) {
  constexpr double kLabels = 300, kPlotWidth = 480, kRow = 18, kTop = 32;
  const double plot_height = kRow * static_cast<double>(rows.size()), bottom = kTop + plot_height;
  const double width = kLabels + kPlotWidth + 40, height = bottom + 40;
  const auto x_of = [&](double h) { return kLabels + std::clamp(h / bits, 0.0, 1.0) * kPlotWidth; };
  std::string out = SvgOpen("assessment", width, height, "Min-entropy estimates");
  const double step = bits >= 4 ? 1 : bits / 4.0;
  for (double t = 0; t <= bits + 1e-9; t += step) {
    out += SvgLine(x_of(t), kTop, x_of(t), bottom + 4, "grid");
    out += SvgText(x_of(t), bottom + 16, Fixed(t, DecimalsOf(step)), "text-anchor=\"middle\"");
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double y = kTop + kRow * static_cast<double>(i);
    out += SvgText(kLabels - 8, y + 13, rows[i].label, "text-anchor=\"end\"");
    if (std::isnan(rows[i].value)) {
      out += SvgText(kLabels + 4, y + 13, "not applicable");
      continue;
    }
    const bool below = claim && rows[i].value < *claim;
    out += "<rect class=\"estimate" + std::string(below ? " below" : "") + "\" x=\"" + At(kLabels) +
           "\" y=\"" + At(y + 3) + "\" width=\"" + At(x_of(rows[i].value) - kLabels) + "\" height=\"" +
           At(kRow - 6) + "\"><title>" + HtmlEscape(rows[i].label) + ": " + Fixed(rows[i].value, 6) +
           "</title></rect>";
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ChartLine& line = lines[i];
    out += SvgLine(x_of(line.value), kTop - 4, x_of(line.value), bottom, line.cls);
    out += SvgText(x_of(line.value), 12 + 10 * static_cast<double>(i % 2), line.label,
                   "class=\"" + std::string(line.cls) + "\" text-anchor=\"middle\"");
  }
  out += SvgLine(kLabels, kTop, kLabels, bottom, "axis");
  out += SvgText(kLabels + kPlotWidth / 2, height - 6, "min-entropy, bits per sample",
                 "class=\"title\" text-anchor=\"middle\"");
  return out + "</svg>";
}

std::string Paragraph(std::string_view cls, std::string_view text) {
  return "<p class=\"" + std::string(cls) + "\">" + HtmlEscape(text) + "</p>";
}

std::string NonIidSection(const NonIidReport& report) {
  const NonIidResult& r = report.result;
  std::string out =
      "<h3>SP 800-90B non-IID assessment</h3>" + Paragraph("about", AssessmentLines(report).front());
  std::string words;
  if (report.claim) {
    words = "The claim of " + General(report.claim->claimed) + " bits per sample " +
            (report.claim->claim_supported ? "holds" : "does not hold") + ": the assessed min-entropy is " +
            Fixed(r.h_assessed, 2) + ".";
  } else {
    words = "The assessed min-entropy is " + Fixed(r.h_assessed, 2) +
            " bits per sample; no claim was given to check.";
  }
  out += Paragraph(report.Holds() ? "verdict pass" : "verdict fail", words);
  if (r.distinct < 2) return out + Paragraph("about", "A single value: no estimator runs.");
  std::vector<ChartRow> rows;
  for (const Estimate& e : r.original)
    rows.push_back({std::string(e.name) + " (" + e.section + ")", e.applicable ? e.min_entropy : NAN});
  const double scale = r.bits;  // a bit string's estimates are per bit
  for (const Estimate& e : r.bitstring)
    rows.push_back({std::string(e.name) + ", bit string \xC3\x97 " + std::to_string(r.bits),
                    e.applicable ? e.min_entropy * scale : NAN});
  std::vector<ChartLine> lines;
  std::optional<double> claim;
  if (report.claim) {
    claim = report.claim->claimed;
    lines.push_back({"claim", "claim " + General(*claim), *claim});
  }
  lines.push_back({"final", "assessed " + Fixed(r.h_assessed, 2), r.h_assessed});
  return out + "<figure>" + EntropyChart(rows, r.bits, lines, claim) +
         "<figcaption>Each estimator's min-entropy per sample; the bit string's per bit, times the sample "
         "width. The assessed figure is the smallest.</figcaption></figure>";
}

std::string RestartSection(const RestartResult& r) {
  std::string out = "<h3>SP 800-90B restart tests</h3>" + Paragraph("about", AssessmentLines(r).front());
  std::string words;
  if (!r.sanity_passed) {
    words = "The restart validation fails: the sanity check found a value " +
            std::to_string(std::max(r.largest_row, r.largest_column)) +
            " times in a row or column, above the cut-off of " + std::to_string(r.cutoff) + ".";
  } else if (r.validated) {
    words = "The restart validation holds for the claim of " + General(r.h_initial) +
            " bits per sample: min(H_r, H_c, H_I) is " + Fixed(r.h_min, 2) + ".";
  } else {
    words = "The restart validation fails for the claim of " + General(r.h_initial) +
            " bits per sample: H_r " + Fixed(r.h_rows, 2) + " or H_c " + Fixed(r.h_columns, 2) +
            " is below H_I/2 = " + Fixed(r.h_initial / 2, 2) + ".";
  }
  out += Paragraph(r.validated ? "verdict pass" : "verdict fail", words);
  if (!r.sanity_passed) return out;
  std::vector<ChartRow> rows;
  for (const RestartEstimate& e : r.estimates) {
    rows.push_back({std::string(e.name) + ", rows", e.rows});
    rows.push_back({std::string(e.name) + ", columns", e.columns});
  }
  std::vector<ChartLine> lines = {{"claim", "H_I " + General(r.h_initial), r.h_initial},
                                  {"threshold", "H_I/2", r.h_initial / 2}};
  if (r.validated) lines.push_back({"final", "min " + Fixed(r.h_min, 2), r.h_min});
  return out + "<figure>" + EntropyChart(rows, r.bits, lines, r.h_initial / 2) +
         "<figcaption>Each estimator's min-entropy per sample on the rows (restarts) and the columns (sample "
         "positions).</figcaption></figure>";
}

std::string FileSection(const HtmlFile& file, std::size_t index) {
  const Results& r = file.results;
  const std::string name = HtmlEscape(file.name);
  std::string out = "<section id=\"file-" + std::to_string(index) + "\"><h2>" + name + "</h2>";
  out += Paragraph("verdict " + std::string(VerdictClass(r.verdict)), VerdictLine(r));
  out += "<ul class=\"statistics\">";
  const std::vector<std::string> lines = ReportLines(r);
  for (std::size_t i = 0; i < 7 && i < lines.size(); ++i) out += "<li>" + HtmlEscape(lines[i]) + "</li>";
  out += "</ul><div class=\"figures\"><figure>";
  const std::vector<std::uint8_t> png = BitmapPng(file.prefix.data(), file.prefix.size());
  out += "<img class=\"bitmap\" width=\"" + std::to_string(kBitmapWidth) + "\" height=\"" +
         std::to_string(kBitmapRows) + "\" alt=\"The bits of " + name + "\" src=\"data:image/png;base64," +
         Base64(png) + "\">";
  out += "<figcaption>The first " + std::to_string(std::min(file.prefix.size(), kPictureBytes)) +
         " bytes, one bit a pixel, row by row: black 1, white 0, grey no data.</figcaption></figure>";
  out += "<figure>" + HistogramSvg(r.histogram) +
         "<figcaption>How often each byte value occurs, the expected count (red line) and its \xC2\xB1"
         "3\xCF\x83 "
         "band (green); bars outside the band are red. The count axis is zoomed around the expected "
         "count.</figcaption></figure></div>";
  out += "<h3>Health tests and FIPS 140-2 tests</h3>" + CountsTables(r);
  if (file.non_iid) out += NonIidSection(*file.non_iid);
  if (file.restart) out += RestartSection(*file.restart);
  return out + "</section>";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Base64(std::span<const std::uint8_t> bytes) {
  constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (n > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
    if (n > 2) group |= bytes[i + 2];
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[group >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

std::string HtmlReport(std::span<const HtmlFile> files) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Data quality report</title>"
      "<style>";
  out += kStyle;
  out +=
      "</style></head><body><h1>Data quality report</h1><table class=\"summary\"><thead><tr><th>File</th>"
      "<th>Bytes</th><th>Verdict</th></tr></thead><tbody>";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Results& r = files[i].results;
    out += "<tr><td><a href=\"#file-" + std::to_string(i + 1) + "\">" + HtmlEscape(files[i].name) +
           "</a></td><td>" + std::to_string(r.statistics.bytes) + "</td><td class=\"" +
           std::string(VerdictClass(r.verdict)) + "\">" + std::string(VerdictName(r.verdict)) + "</td></tr>";
  }
  out += "</tbody></table>";
  for (std::size_t i = 0; i < files.size(); ++i) out += "\n" + FileSection(files[i], i + 1);
  return out + "\n</body></html>\n";
}

}  // namespace quality
