// rngacq-check FILE... | -: the data-quality report of files acquired earlier.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quality/checker.h"
#include "quality/picture.h"
#include "quality/report.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include "platform/windows/wide_entry.h"
#endif

namespace {

constexpr int kExitPass = 0, kExitFail = 1, kExitUsage = 2;
constexpr std::size_t kChunk = 1 << 20;
constexpr int kEventsShown = 8;  // per file; the summary counts the rest

constexpr const char* kHelp =
    "Usage: rngacq-check [--json] [--entropy=h] [--png=FILE] FILE... | -\n"
    "Checks the quality of random data files ('-' reads standard input): byte statistics,\n"
    "FIPS 140-2 tests and the continuous health tests, with a verdict per file.\n"
    "  --json        one JSON object per line and file\n"
    "  --entropy=h   claimed min-entropy in bits per byte for the health tests (1 to 8, default 8)\n"
    "  --png=FILE    draw the picture of the data (one input file only)\n"
    "  --version     the program's version\n"
    "  --help        this text\n"
    "Exit status: 0 pass or warning, 1 fail, 2 usage or read error.\n";

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

bool ParseClaim(std::string_view text, double& h) {
  const std::string copy(text);
  char* end = nullptr;
  h = std::strtod(copy.c_str(), &end);
  return !copy.empty() && end == copy.c_str() + copy.size() && h >= 1 && h <= 8;
}

// Reads and checks one input; false on a read error (reported on standard error).
bool CheckInput(const std::string& name, double claim, bool json, const std::string& png,
                quality::Verdict& verdict) {
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
  std::vector<std::uint8_t> prefix;  // the picture's bytes
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n > 0) {
      checker.Feed(buffer.data(), n);
      if (!png.empty() && prefix.size() < quality::kPictureBytes)
        prefix.insert(prefix.end(), buffer.data(),
                      buffer.data() + std::min(n, quality::kPictureBytes - prefix.size()));
    }
    if (n < buffer.size()) break;
  }
  if (std::ferror(file.get())) {
    std::fprintf(stderr, "rngacq-check: cannot read %s\n", name.c_str());
    return false;
  }
  const quality::Results results = checker.Finish();
  verdict = results.verdict;
  if (json) {
    std::printf("%s\n", quality::JsonLine(name, results).c_str());
  } else {
    std::printf("%s\n", name.c_str());
    for (const std::string& line : quality::ReportLines(results)) std::printf("  %s\n", line.c_str());
  }
  if (!png.empty()) {
    const std::vector<std::uint8_t> image =
        quality::PicturePng(prefix.data(), prefix.size(), results.histogram);
    std::FILE* out = OpenFile(png, "wb");
    const bool written =
        out != nullptr && !image.empty() && std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if ((out != nullptr && std::fclose(out) != 0) || !written) {
      std::fprintf(stderr, "rngacq-check: cannot write %s\n", png.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int CheckMain(const std::vector<std::string>& arguments) {
  bool json = false;
  double claim = 8;
  std::string png;
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
      if (!ParseClaim(arg.substr(10), claim)) {
        std::fprintf(stderr, "rngacq-check: bad min-entropy claim: %s (1 to 8)\n", arguments[i].c_str());
        return kExitUsage;
      }
    } else if (arg.starts_with("--png=") && arg.size() > 6) {
      png = arg.substr(6);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "rngacq-check: unknown option %s\n%s", arguments[i].c_str(), kHelp);
      return kExitUsage;
    } else {
      inputs.emplace_back(arg);
    }
  }
  if (inputs.empty() || (!png.empty() && inputs.size() != 1)) {
    std::fputs(inputs.empty() ? "rngacq-check: no input\n" : "rngacq-check: --png takes one input\n", stderr);
    std::fputs(kHelp, stderr);
    return kExitUsage;
  }
  bool read_error = false, failed = false;
  for (const std::string& input : inputs) {
    quality::Verdict verdict = quality::Verdict::Pass;
    if (!CheckInput(input, claim, json, png, verdict)) read_error = true;
    failed = failed || verdict == quality::Verdict::Fail;
    std::fflush(stdout);
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
