// All quality checks together over 256 MiB in memory, against ent and rngtest on the same data
// in a memory-backed file (each external command timed as a whole, start-up included).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// MB/s of a shell command over the file, or 0 when the tool is missing or fails.
double ToolRate(const std::string& tool, const std::string& command) {
  if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) return 0;
  const auto start = std::chrono::steady_clock::now();
  std::system(command.c_str());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return static_cast<double>(kBytes) / 1e6 / took.count();
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
  const auto own_start = std::chrono::steady_clock::now();
  quality::Checker checker;
  for (std::size_t at = 0; at < kBytes; at += 1 << 20) checker.Feed(Data().data() + at, 1 << 20);
  benchmark::DoNotOptimize(checker.Finish());
  const std::chrono::duration<double> own = std::chrono::steady_clock::now() - own_start;
  const double own_rate = static_cast<double>(kBytes) / 1e6 / own.count();
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
