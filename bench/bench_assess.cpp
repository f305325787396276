// The SP 800-90B assessments of one million 8-bit samples, in wall time (their two threads
// overlap), against NIST's reference tools on the same machine: the non-IID track 17 s and 290 MB
// peak for truerand_8bit.bin (ea_non_iid), the IID track 20 s and 39 MB for random data (ea_iid,
// which stopped after about 4 % of its shuffles). The samples are the simulated module's stream,
// or the file named by RNGACQ_ASSESS_FILE (its first million bytes). The IID track is measured
// first, so that the peak it reports is its own.
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
#include "quality/iid.h"

namespace {

constexpr std::size_t kSamples = 1000000;
constexpr double kReferenceSeconds = 17.0, kReferenceMegabytes = 290.0;
constexpr double kIidReferenceSeconds = 20.0, kIidReferenceMegabytes = 39.0;

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

void AssessMillionBytesIid(benchmark::State& state) {
  for (auto _ : state) {
    const quality::IidResult r = quality::AssessIid(Samples(), 8);
    benchmark::DoNotOptimize(r.h_mcv);
    state.counters["permutations"] = r.permutations_run;
    state.counters["iid"] = r.iid;
  }
}
BENCHMARK(AssessMillionBytesIid)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// Processor time of the whole process so far: on a busy machine, wall time overstates the cost.
double ProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](timeval t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Samples();
  auto start = std::chrono::steady_clock::now();
  const double processor = ProcessorSeconds();
  const quality::IidResult iid = quality::AssessIid(Samples(), 8);
  double seconds = Seconds(start);
  std::printf(
      "IID: %zu samples: %.2f s (%.2f s of processor time), %.1f times as fast as the reference tool (%.0f "
      "s); "
      "peak %.0f MB (%.0f MB); %u permutations, %s%s\n",
      Samples().size(), seconds, ProcessorSeconds() - processor, kIidReferenceSeconds / seconds,
      kIidReferenceSeconds, PeakMegabytes(), kIidReferenceMegabytes, iid.permutations_run,
      iid.iid ? "IID" : "not IID: ", iid.deciding);
  benchmark::RunSpecifiedBenchmarks();
  start = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(quality::AssessNonIid(Samples(), 8).h_assessed);
  seconds = Seconds(start);
  std::printf(
      "non-IID: %zu samples: %.2f s, %.0f times as fast as the reference tool (%.0f s); peak %.0f MB (%.0f "
      "MB)\n",
      Samples().size(), seconds, kReferenceSeconds / seconds, kReferenceSeconds, PeakMegabytes(),
      kReferenceMegabytes);
  return 0;
}
