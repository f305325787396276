// rngacq-check FILE... | -: the data-quality report of files acquired earlier.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quality/assessment_report.h"
#include "quality/checker.h"
#include "quality/html_report.h"
#include "quality/picture.h"
#include "quality/report.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include "platform/windows/wide_entry.h"
#else
#include <unistd.h>
#endif

namespace {

constexpr int kExitPass = 0, kExitFail = 1, kExitUsage = 2;
constexpr std::size_t kChunk = 1 << 20;
constexpr int kEventsShown = 8;  // per file; the summary counts the rest

constexpr const char* kHelp =
    "Usage: rngacq-check [--json] [--entropy=h] [--png=FILE] FILE... | -\n"
    "       rngacq-check --assess[=non-iid|iid|restart] [--bits=N] [--claim=H] [options] FILE... | -\n"
    "Checks the quality of random data files ('-' reads standard input): byte statistics,\n"
    "FIPS 140-2 tests and the continuous health tests, with a verdict per file.\n"
    "  --json        one JSON object per line and file\n"
    "  --entropy=h   claimed min-entropy in bits per byte for the health tests (1 to 8, default 8)\n"
    "  --png=FILE    draw the picture of the data (one input file only)\n"
    "  --html=FILE   one HTML page for all the files: verdicts, pictures, histograms, assessments\n"
    "  --assess      also the SP 800-90B non-IID min-entropy assessment of each file\n"
    "  --assess=iid  the SP 800-90B IID track: permutation, chi-square and LRS tests\n"
    "  --assess=restart  the SP 800-90B restart tests on a restart matrix (rngacq /RESTARTS)\n"
    "  --bits=N      the assessment's sample: each byte's low N bits (1 to 8, default 8)\n"
    "  --claim=H     the entropy claim to check, bits per sample (needed for restart)\n"
    "  --seed=N      the IID track's shuffles start from this seed (default 1)\n"
    "  --version     the program's version\n"
    "  --help        this text\n"
    "Exit status: 0 pass or warning, 1 fail, 2 usage or read error.\n"
    "With --assess, 1 also when the claim or the restart validation does not hold.\n";

// The assessment keeps the samples in memory, and its suffix arrays cost up to about 200 bytes a
// sample on repetitive 8-bit data: beyond this many samples a file is refused rather than the
// machine's memory exhausted.
constexpr std::size_t kMaxAssessed = std::size_t{4} << 20;

enum class Track { None, NonIid, Iid, Restart };

struct Assessment {
  Track track = Track::None;
  unsigned bits = 8;
  std::optional<double> claim;  // bits per sample
  std::uint64_t seed = 1;       // of the IID track's shuffles
};

struct CloseFile {
  void operator()(std::FILE* f) const {
    if (f != stdin) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

// Names are UTF-8 inside; Windows opens them as UTF-16.
std::FILE* OpenFile(const std::string& name, const char* mode) {
#if defined(_WIN32)
  return _wfopen(platform::Widen(name).c_str(), platform::Widen(mode).c_str());
#else
  return std::fopen(name.c_str(), mode);
#endif
}

bool ParseNumber(std::string_view text, double low, double high, double& value) {
  const std::string copy(text);
  char* end = nullptr;
  value = std::strtod(copy.c_str(), &end);
  return !copy.empty() && end == copy.c_str() + copy.size() && value >= low && value <= high;
}

// Progress goes to standard error, and only when a person watches it.
bool ShowsProgress() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// Writes all of `bytes` to the file `name`, replacing it; false (with a message) when it could not.
bool WriteWhole(const std::string& name, const void* bytes, std::size_t size) {
  File out(OpenFile(name, "wb"));
  bool written = out && size > 0 && std::fwrite(bytes, 1, size, out.get()) == size;
  // Closing flushes: a full disk may only show here.
  written = out && std::fclose(out.release()) == 0 && written;
  if (!written) {
    std::fprintf(stderr, "rngacq-check: cannot write %s\n", name.c_str());
    return false;
  }
  return true;
}

// The assessment's lines (or JSON members) for one file's samples; false when it does not hold.
// With `page`, its results are kept there for the HTML report.
bool Assess(const std::string& name, const std::vector<std::uint8_t>& samples, const Assessment& a, bool json,
            std::string& members, quality::HtmlFile* page) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  quality::AssessOptions options;
  options.threads = std::max(1u, std::thread::hardware_concurrency());
  // Progress on the terminal, once the work has taken a second.
  if (ShowsProgress()) {
    options.progress = [&name, start](unsigned done, unsigned total) {
      if (Clock::now() - start < std::chrono::seconds(1)) return;
      std::fprintf(stderr, "\r%s: assessing, %u of %u estimator groups done", name.c_str(), done, total);
      if (done == total) std::fputs("\r\033[K", stderr);
    };
  }
  std::vector<std::string> lines;
  bool holds = false;
  if (a.track == Track::Iid) {
    quality::IidOptions iid;
    iid.threads = options.threads;
    iid.seed = a.seed;
    if (ShowsProgress()) {
      iid.progress = [&name, start](std::uint32_t done, std::uint32_t total) {
        if (Clock::now() - start < std::chrono::seconds(1)) return;
        std::fprintf(stderr, "\r%s: permutation test, %u of at most %u shuffles", name.c_str(), done, total);
      };
    }
    quality::IidReport report;
    report.result = quality::AssessIid(samples, a.bits, iid);
    report.seed = a.seed;
    report.claim = a.claim;
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (iid.progress) std::fputs("\r\033[K", stderr);
    holds = report.Holds();
    if (json) members = quality::AssessmentJson(report);
    lines = quality::AssessmentLines(report);
  } else if (a.track == Track::Restart) {
    const quality::RestartResult result = quality::AssessRestarts(samples, a.bits, *a.claim, options);
    holds = result.validated;
    if (json) members = quality::AssessmentJson(result);
    lines = quality::AssessmentLines(result);
    if (page != nullptr) page->restart = result;
  } else {
    quality::NonIidReport report;
    report.result = quality::AssessNonIid(samples, a.bits, options);
    if (a.claim) report.claim = quality::CheckInitialEntropy(report.result, *a.claim);
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    holds = report.Holds();
    if (json) members = quality::AssessmentJson(report);
    lines = quality::AssessmentLines(report);
    if (page != nullptr) page->non_iid = std::move(report);
  }
  if (!json)
    for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
  return holds;
}

// Reads and checks one input; false on a read error (reported on standard error). With `page`,
// what the HTML report shows of the file is kept there.
bool CheckInput(const std::string& name, double claim, bool json, const std::string& png,
                const Assessment& assessment, quality::Verdict& verdict, bool& holds,
                quality::HtmlFile* page) {
  File file(name == "-" ? stdin : OpenFile(name, "rb"));
  if (!file) {
    std::fprintf(stderr, "rngacq-check: cannot open %s: %s\n", name.c_str(), std::strerror(errno));
    return false;
  }
  int shown = 0;
  quality::Checker checker(claim, [&](const quality::HealthEvent& event) {
    if (!json && shown++ < kEventsShown)
      std::printf("%s: %s\n", name.c_str(), quality::HealthEventLine(event).c_str());
  });
  std::vector<std::uint8_t> buffer(kChunk);
  std::vector<std::uint8_t> prefix;   // the picture's bytes
  std::vector<std::uint8_t> samples;  // every byte, for the assessment
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n > 0) {
      checker.Feed(buffer.data(), n);
      if (assessment.track != Track::None) {
        if (samples.size() + n > kMaxAssessed) {
          std::fprintf(stderr, "rngacq-check: %s: more than %zu samples to assess; assess a part of it\n",
                       name.c_str(), kMaxAssessed);
          return false;
        }
        samples.insert(samples.end(), buffer.data(), buffer.data() + n);
      }
      if ((!png.empty() || page != nullptr) && prefix.size() < quality::kPictureBytes)
        prefix.insert(prefix.end(), buffer.data(),
                      buffer.data() + std::min(n, quality::kPictureBytes - prefix.size()));
    }
    if (n < buffer.size()) break;
  }
  if (std::ferror(file.get())) {
    std::fprintf(stderr, "rngacq-check: cannot read %s\n", name.c_str());
    return false;
  }
  if (assessment.track == Track::Restart &&
      (samples.size() % quality::kRestartColumns != 0 || samples.size() < 2 * quality::kRestartColumns)) {
    std::fprintf(stderr, "rngacq-check: %s: %zu bytes are not whole rows of %zu samples (at least two)\n",
                 name.c_str(), samples.size(), quality::kRestartColumns);
    return false;
  }
  const quality::Results results = checker.Finish();
  verdict = results.verdict;
  std::string members;
  if (!json) {
    std::printf("%s\n", name.c_str());
    for (const std::string& line : quality::ReportLines(results)) std::printf("  %s\n", line.c_str());
  }
  holds = assessment.track == Track::None || Assess(name, samples, assessment, json, members, page);
  if (json) std::printf("%s\n", quality::JsonLine(name, results, members).c_str());
  if (!png.empty()) {
    const std::vector<std::uint8_t> image = quality::PicturePng(
        prefix.data(), prefix.size(), results.histogram, quality::CaptionOf(name, results));
    if (!WriteWhole(png, image.data(), image.size())) return false;
  }
  if (page != nullptr) {
    page->name = name;
    page->results = results;
    page->prefix = std::move(prefix);
  }
  return true;
}

}  // namespace

int CheckMain(const std::vector<std::string>& arguments) {
  bool json = false;
  double claim = 8;
  std::string png, html;
  Assessment assessment;
  std::vector<std::string> inputs;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view arg = arguments[i];
    if (arg == "--help") {
      std::fputs(kHelp, stdout);
      return kExitPass;
    } else if (arg == "--version") {
      std::printf("rngacq-check %s\n", RNGACQ_VERSION);
      return kExitPass;
    } else if (arg == "--json") {
      json = true;
    } else if (arg.starts_with("--entropy=")) {
      if (!ParseNumber(arg.substr(10), 1, 8, claim)) {
        std::fprintf(stderr, "rngacq-check: bad min-entropy claim: %s (1 to 8)\n", arguments[i].c_str());
        return kExitUsage;
      }
    } else if (arg == "--assess" || arg == "--assess=non-iid") {
      assessment.track = Track::NonIid;
    } else if (arg == "--assess=iid") {
      assessment.track = Track::Iid;
    } else if (arg.starts_with("--seed=")) {
      const std::string_view digits = arg.substr(7);
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), assessment.seed);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        std::fprintf(stderr, "rngacq-check: bad seed: %s (a whole number)\n", arguments[i].c_str());
        return kExitUsage;
      }
    } else if (arg == "--assess=restart") {
      assessment.track = Track::Restart;
    } else if (arg.starts_with("--bits=")) {
      double bits = 0;
      if (!ParseNumber(arg.substr(7), 1, 8, bits) || bits != static_cast<unsigned>(bits)) {
        std::fprintf(stderr, "rngacq-check: bad sample width: %s (1 to 8)\n", arguments[i].c_str());
        return kExitUsage;
      }
      assessment.bits = static_cast<unsigned>(bits);
    } else if (arg.starts_with("--claim=")) {
      double h = 0;
      if (!ParseNumber(arg.substr(8), 0, 8, h) || !(h > 0)) {
        std::fprintf(stderr, "rngacq-check: bad entropy claim: %s (above 0, at most 8)\n",
                     arguments[i].c_str());
        return kExitUsage;
      }
      assessment.claim = h;
    } else if (arg.starts_with("--png=") && arg.size() > 6) {
      png = arg.substr(6);
    } else if (arg.starts_with("--html=") && arg.size() > 7) {
      html = arg.substr(7);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "rngacq-check: unknown option %s\n%s", arguments[i].c_str(), kHelp);
      return kExitUsage;
    } else {
      inputs.emplace_back(arg);
    }
  }
  if (assessment.claim && *assessment.claim > assessment.bits) {
    std::fprintf(stderr, "rngacq-check: the claim %g exceeds the sample width of %u bits\n",
                 *assessment.claim, assessment.bits);
    return kExitUsage;
  }
  if (assessment.track == Track::None && (assessment.claim || assessment.bits != 8)) {
    std::fputs("rngacq-check: --bits and --claim go with --assess\n", stderr);
    return kExitUsage;
  }
  if (assessment.track == Track::Restart && !assessment.claim) {
    std::fputs("rngacq-check: the restart tests need the entropy claim (--claim=H)\n", stderr);
    return kExitUsage;
  }
  if (inputs.empty() || (!png.empty() && inputs.size() != 1)) {
    std::fputs(inputs.empty() ? "rngacq-check: no input\n" : "rngacq-check: --png takes one input\n", stderr);
    std::fputs(kHelp, stderr);
    return kExitUsage;
  }
  bool read_error = false, failed = false;
  std::vector<quality::HtmlFile> pages;  // the files the HTML report shows: those read
  for (const std::string& input : inputs) {
    quality::Verdict verdict = quality::Verdict::Pass;
    bool holds = true;
    quality::HtmlFile page;
    if (!CheckInput(input, claim, json, png, assessment, verdict, holds, html.empty() ? nullptr : &page)) {
      read_error = true;
    } else if (!html.empty()) {
      pages.push_back(std::move(page));
    }
    failed = failed || verdict == quality::Verdict::Fail || !holds;
    std::fflush(stdout);
  }
  if (!html.empty()) {
    const std::string report = quality::HtmlReport(pages);
    if (!WriteWhole(html, report.data(), report.size())) read_error = true;
  }
  return read_error ? kExitUsage : failed ? kExitFail : kExitPass;
}

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  return CheckMain(platform::WideArguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  return CheckMain(std::vector<std::string>(argv, argv + argc));
}
#endif
