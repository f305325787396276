// All quality checks together over 256 MiB in memory, against ent and rngtest on the same data
// in a memory-backed file. Rates are per second of processor time (the machine is shared; the
// wall clock would count other programs' turns); a tool's time is that of its whole run.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "drivers/sim/module_model.h"
#include "quality/checker.h"

namespace {

constexpr std::size_t kBytes = std::size_t{256} << 20;

const std::vector<std::uint8_t>& Data() {
  static const std::vector<std::uint8_t> data = sim::StreamBytes(1, 0, kBytes);
  return data;
}

void AllChecks(benchmark::State& state) {
  const auto& data = Data();
  for (auto _ : state) {
    quality::Checker checker;
    for (std::size_t at = 0; at < data.size(); at += 1 << 20) checker.Feed(data.data() + at, 1 << 20);
    benchmark::DoNotOptimize(checker.Finish());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBytes));
}
BENCHMARK(AllChecks)->Unit(benchmark::kMillisecond)->MinTime(1);

// Processor seconds used by finished child processes so far.
double ChildSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// MB/s of a shell command over the file, or 0 when the tool is missing.
double ToolRate(const std::string& tool, const std::string& command) {
  if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) return 0;
  const double before = ChildSeconds();
  if (std::system(command.c_str()) == -1) return 0;
  return static_cast<double>(kBytes) / 1e6 / (ChildSeconds() - before);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const std::string file = "/dev/shm/rngacq-bench-quality.bin";
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr || std::fwrite(Data().data(), 1, kBytes, out) != kBytes) {
    std::printf("cannot write %s: ent and rngtest not measured\n", file.c_str());
    if (out) std::fclose(out);
    return 0;
  }
  std::fclose(out);
  const std::clock_t own_start = std::clock();
  quality::Checker checker;
  for (std::size_t at = 0; at < kBytes; at += 1 << 20) checker.Feed(Data().data() + at, 1 << 20);
  benchmark::DoNotOptimize(checker.Finish());
  const double own = static_cast<double>(std::clock() - own_start) / CLOCKS_PER_SEC;
  const double own_rate = static_cast<double>(kBytes) / 1e6 / own;
  std::printf("all checks: %.0f MB/s on one core\n", own_rate);
  for (const auto& [tool, command] :
       {std::pair<std::string, std::string>{"ent", "ent " + file + " >/dev/null"},
        {"rngtest", "rngtest <" + file + " >/dev/null 2>&1"}}) {
    const double rate = ToolRate(tool, command);
    if (rate == 0) {
      std::printf("%s: not installed, not measured\n", tool.c_str());
    } else {
      std::printf("%s: %.0f MB/s; all checks are %.1f times as fast\n", tool.c_str(), rate, own_rate / rate);
    }
  }
  std::remove(file.c_str());
  return 0;
}
