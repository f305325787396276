// The SP 800-90B non-IID assessment of one million 8-bit samples, in wall time (its two threads
// overlap), against NIST's reference tool on the same machine: 17 s and 290 MB peak for
// truerand_8bit.bin. The samples are the simulated module's stream, or the file named by
// RNGACQ_ASSESS_FILE (its first million bytes).
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "drivers/sim/module_model.h"
#include "quality/assessment.h"

namespace {

constexpr std::size_t kSamples = 1000000;
constexpr double kReferenceSeconds = 17.0, kReferenceMegabytes = 290.0;

const std::vector<std::uint8_t>& Samples() {
  static const std::vector<std::uint8_t> samples = [] {
    if (const char* path = std::getenv("RNGACQ_ASSESS_FILE")) {
      std::ifstream in(path, std::ios::binary);
      std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), {});
      data.resize(std::min(data.size(), kSamples));
      return data;
    }
    return sim::StreamBytes(1, 0, kSamples);
  }();
  return samples;
}

void AssessMillionBytes(benchmark::State& state) {
  for (auto _ : state) {
    const quality::NonIidResult r = quality::AssessNonIid(Samples(), 8);
    benchmark::DoNotOptimize(r.h_assessed);
    state.counters["h_assessed"] = r.h_assessed;
  }
}
BENCHMARK(AssessMillionBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const auto start = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(quality::AssessNonIid(Samples(), 8).h_assessed);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double megabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  std::printf(
      "%zu samples: %.2f s, %.0f times as fast as the reference tool (%.0f s); peak %.0f MB (%.0f MB)\n",
      Samples().size(), seconds, kReferenceSeconds / seconds, kReferenceSeconds, megabytes,
      kReferenceMegabytes);
  return 0;
}
