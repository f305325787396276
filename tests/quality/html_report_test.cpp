// The HTML report: a page whose elements close, whose texts are escaped, whose charts show what
// they claim to show (the band, the bars outside it, the assessment against its claim).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "quality/html_report.h"
#include "quality/picture.h"

namespace {

// The page with its embedded images cut short, for failure messages.
std::string Readable(const std::string& page) {
  return std::regex_replace(page, std::regex("base64,[A-Za-z0-9+/=]+"), "base64,...");
}

::testing::AssertionResult Has(const std::string& page, std::string_view part) {
  if (page.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << '"' << part << "\" is not in:\n" << Readable(page);
}

std::size_t Count(const std::string& page, std::string_view part) {
  std::size_t n = 0;
  for (std::size_t at = page.find(part); at != std::string::npos; at = page.find(part, at + 1)) ++n;
  return n;
}

// Every element opened is closed, innermost first; empty when so, else what went wrong where.
std::string UnbalancedTags(const std::string& page) {
  const std::vector<std::string> void_elements = {"meta", "img", "br"};
  std::vector<std::string> open;
  for (std::size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
    const std::size_t end = page.find('>', at);
    if (end == std::string::npos) return "a tag without its '>' at " + std::to_string(at);
    const std::string tag = page.substr(at + 1, end - at - 1);
    if (tag.starts_with('!')) continue;
    const bool closing = tag.starts_with('/');
    const std::string name = tag.substr(closing, tag.find_first_of(" /", closing) - closing);
    if (closing) {
      if (open.empty() || open.back() != name)
        return "</" + name + "> at " + std::to_string(at) + " closes " +
               (open.empty() ? "nothing" : open.back());
      open.pop_back();
    } else if (!tag.ends_with('/') &&
               std::find(void_elements.begin(), void_elements.end(), name) == void_elements.end()) {
      open.push_back(name);
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> is never closed";
}

quality::Results ResultsOf(std::size_t bytes, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<std::uint8_t> data(bytes);
  for (auto& b : data) b = static_cast<std::uint8_t>(generator());
  quality::Checker checker;
  checker.Feed(data.data(), data.size());
  return checker.Finish();
}

quality::HtmlFile File(std::string name, std::size_t bytes = 20000) {
  quality::HtmlFile file;
  file.name = std::move(name);
  file.results = ResultsOf(bytes, 3);
  file.prefix.assign(100, 0xA5);
  return file;
}

quality::NonIidReport HandMadeAssessment(double claim, double assessed) {
  quality::NonIidReport report;
  quality::NonIidResult& r = report.result;
  r.bits = 8;
  r.samples = 1000000;
  r.distinct = 256;
  r.original = {{"Most Common Value", "6.3.1", true, "", 7.9, {}},
                {"Lag Prediction", "6.3.8", false, "too few samples", NAN, {}}};
  r.bitstring = {{"Markov", "6.3.3", true, "", assessed / 8, {}}};
  r.h_original = 7.9;
  r.h_bitstring = assessed / 8;
  r.h_assessed = assessed;
  report.claim = quality::InitialEntropy{claim, assessed, std::min(claim, assessed), assessed >= claim};
  return report;
}

TEST(HtmlReport, EveryElementIsClosedAndNothingComesFromOutside) {
  std::vector<quality::HtmlFile> files = {File("a.bin"), File("b.bin")};
  files[1].non_iid = HandMadeAssessment(7, 7.23);
  const std::string page = quality::HtmlReport(files);
  EXPECT_EQ(UnbalancedTags(page), "");
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"));
  EXPECT_EQ(Count(page, "<script"), 0u);
  EXPECT_EQ(Count(page, "http"), Count(page, "xmlns=\"http://www.w3.org/2000/svg\""))
      << "only SVG's namespace";
  EXPECT_EQ(Count(page, "<section id=\"file-"), 2u);
  // The checker of this test finds what it should.
  EXPECT_EQ(UnbalancedTags("<p><b>x</p></b>"), "</p> at 7 closes b");
  EXPECT_EQ(UnbalancedTags("<div><img src=\"x\"><br/>"), "<div> is never closed");
}

TEST(HtmlReport, NamesAndTextsAreEscaped) {
  const std::string page = quality::HtmlReport(std::vector{File("<&\"'>.bin")});
  EXPECT_EQ(Count(page, "&lt;&amp;&quot;&#39;&gt;.bin"), 3u)
      << "summary, heading, alt text: " << Readable(page);
  EXPECT_EQ(Count(page, "<&\"'>"), 0u);
  EXPECT_EQ(UnbalancedTags(page), "");
  EXPECT_EQ(quality::HtmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
}

TEST(HtmlReport, TheBitmapIsEmbeddedAsPng) {
  const quality::HtmlFile file = File("a.bin");
  const std::string page = quality::HtmlReport(std::vector{file});
  EXPECT_TRUE(Has(page, "src=\"data:image/png;base64," +
                            quality::Base64(quality::BitmapPng(file.prefix.data(), file.prefix.size())) +
                            "\""));
  const std::pair<std::string, std::string> rfc4648[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [text, encoded] : rfc4648)
    EXPECT_EQ(quality::Base64(std::vector<std::uint8_t>(text.begin(), text.end())), encoded) << text;
  EXPECT_EQ(quality::Base64(std::vector<std::uint8_t>{0xFB, 0xFF}), "+/8=");
}

// The band's height in the histogram, in pixels of the plot's 240.
double BandHeight(const std::string& page) {
  std::smatch m;
  if (!std::regex_search(page, m,
                         std::regex("<rect class=\"band\" x=\"[0-9.]+\" y=\"[0-9.]+\" width=\"[0-9.]+\" "
                                    "height=\"([0-9.]+)\"")))
    return -1;
  return std::stod(m[1]);
}

TEST(HtmlReport, TheHistogramZoomsOnTheBandAndMarksTheBarsOutsideIt) {
  quality::HtmlFile file = File("a.bin");
  // 256,000 bytes: expected 1000, sigma 31.56; 1090 and 910 lie inside the band, 1100 and 900 just
  // outside, 500 and 1500 far outside.
  file.results.histogram.fill(1000);
  const std::pair<std::size_t, std::uint64_t> counts[] = {{1, 1090}, {2, 910}, {7, 1100},
                                                          {8, 900},  {9, 500}, {10, 1500}};
  for (const auto& [value, count] : counts) file.results.histogram[value] = count;
  std::string page = quality::HtmlReport(std::vector{file});
  EXPECT_EQ(Count(page, "<rect class=\"bar out\""), 4u);
  EXPECT_TRUE(Has(page, "<rect class=\"bar out\" x=\"85.0\"")) << "value 7";
  EXPECT_EQ(Count(page, "<rect class=\"bar\""), 252u);
  EXPECT_TRUE(Has(page, "<title>byte 9: 500</title>"));
  EXPECT_TRUE(Has(page, ">expected 1000.0</text>"));
  // The far bars set the scale, 500 to 1500 and 5 % either side: the band (6 sigma) takes a sixth.
  EXPECT_NEAR(BandHeight(page), 240 * 6 * 31.56 / 1100, 1);
  // Without them the scale is the band's 8 sigma and 5 % either side: the band takes most of the plot.
  file.results.histogram[9] = file.results.histogram[10] = 1000;
  page = quality::HtmlReport(std::vector{file});
  EXPECT_EQ(Count(page, "<rect class=\"bar out\""), 2u);
  EXPECT_NEAR(BandHeight(page), 240 * 6 / 8.8, 1);
  EXPECT_TRUE(Has(page, ">count</text>"));
  EXPECT_TRUE(Has(page, ">byte value</text>"));
  EXPECT_TRUE(Has(page, ">255</text>"));
}

TEST(HtmlReport, TheAssessmentChartOnlyWithAnAssessment) {
  quality::HtmlFile file = File("a.bin");
  std::string page = quality::HtmlReport(std::vector{file});
  EXPECT_EQ(Count(page, "<svg class=\"assessment\""), 0u);
  EXPECT_EQ(Count(page, "assessment</h3>"), 0u);

  file.non_iid = HandMadeAssessment(7, 7.23);
  page = quality::HtmlReport(std::vector{file});
  EXPECT_EQ(Count(page, "<svg class=\"assessment\""), 1u);
  EXPECT_TRUE(
      Has(page,
          "<p class=\"verdict pass\">The claim of 7 bits per sample holds: the assessed min-entropy is "
          "7.23.</p>"));
  EXPECT_EQ(Count(page, "<rect class=\"estimate"), 2u) << "one estimate did not run";
  EXPECT_TRUE(Has(page, ">Lag Prediction (6.3.8)</text>"));
  EXPECT_TRUE(Has(page, ">not applicable</text>"));
  EXPECT_TRUE(Has(page, ">Markov, bit string \xC3\x97 8</text>"));
  EXPECT_TRUE(Has(page, "<line class=\"claim\""));
  EXPECT_TRUE(Has(page, ">claim 7</text>"));
  EXPECT_TRUE(Has(page, "<line class=\"final\""));
  EXPECT_TRUE(Has(page, ">assessed 7.23</text>"));

  file.non_iid = HandMadeAssessment(7, 5.86);
  page = quality::HtmlReport(std::vector{file});
  EXPECT_TRUE(Has(page,
                  "<p class=\"verdict fail\">The claim of 7 bits per sample does not hold: the assessed "
                  "min-entropy is 5.86.</p>"));
  EXPECT_EQ(Count(page, "<rect class=\"estimate below\""), 1u) << "the bit string's 5.86";
  file.non_iid->claim.reset();
  page = quality::HtmlReport(std::vector{file});
  EXPECT_TRUE(Has(page, "The assessed min-entropy is 5.86 bits per sample; no claim was given to check."));
  EXPECT_EQ(Count(page, "<line class=\"claim\""), 0u);

  file.non_iid.reset();
  quality::RestartResult restart;
  restart.bits = 8;
  restart.rows = restart.columns = 1000;
  restart.h_initial = 7;
  restart.sanity_passed = restart.validated = true;
  restart.estimates = {{"Most Common Value", 7.4, 7.5}};
  restart.h_rows = 7.4;
  restart.h_columns = 7.5;
  restart.h_min = 7;
  file.restart = restart;
  page = quality::HtmlReport(std::vector{file});
  EXPECT_TRUE(Has(page,
                  "The restart validation holds for the claim of 7 bits per sample: min(H_r, H_c, H_I) is "
                  "7.00."));
  EXPECT_EQ(Count(page, "<rect class=\"estimate\""), 2u) << "rows and columns";
  EXPECT_EQ(UnbalancedTags(page), "");
}

TEST(HtmlReport, CountsAndVerdictsInWords) {
  quality::HtmlFile file = File("a.bin");
  file.results.rct.warnings = 2;
  file.results.verdict = quality::Verdict::Warning;
  const std::string page = quality::HtmlReport(std::vector{file});
  EXPECT_TRUE(
      Has(page, "<tr><td>Repetition count test</td><td>5/9</td><td class=\"warn\">2</td><td>0</td></tr>"));
  EXPECT_TRUE(Has(page, "<th>FIPS 140-2 blocks</th>"));
  EXPECT_TRUE(Has(page, "<td class=\"warning\">warning</td>")) << "in the summary";
  EXPECT_TRUE(Has(page, "<p class=\"verdict warning\">Verdict: warning"));
}

}  // namespace
