// Host cost of one 1984-byte block: RequestBlock against the simulated module plus the data-file
// write, plus the write to standard output as a pipe, and the C library's rngacq_read (256 MiB)
// plus the data-file write, against the floor for any program that writes one block per write
// (copy 2048 bytes, write 1984); the file-writing loops take turns with the floor block by block.
// Prints the ratios, all measured in this run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/data_sink.h"
#include "core/library_provider.h"
#include "devicelink/block_request.h"
#include "devicelink/device_link.h"
#include "drivers/sim/module_model.h"
#include "drivers/sim/sim_driver.h"
#include "platform/platform.h"
#include "quality/checker.h"
#include "rngacq/rngacq.h"
#include "usb/vendor_provider.h"

#ifdef RNGACQ_BENCH_LIBUSB
#include <libusb.h>

#include "drivers/libusb/libusb_provider.h"
#include "protocol/frames.h"
#include "standin/usb_bus_standin.h"
#endif

namespace {

namespace fs = std::filesystem;

// Both loops write to the same kind of file: in memory where the system offers it, so that
// write-back to a disk does not add its noise to either side.
std::string ScratchFile(const char* name) {
  std::error_code error;
  const fs::path directory =
      fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
  return (directory / (std::string("rngacq-bench-") + name)).string();
}

// Writing an ever-growing file would measure the file system's allocation; every loop rewinds
// its file to the start every 64 MiB worth of blocks, the same way.
constexpr std::int64_t kBlocksPerFile = (64 << 20) / 1984;

// A scratch file written 1984 bytes at a time.
class ScratchWriter {
 public:
  explicit ScratchWriter(const char* name) : path_(ScratchFile(name)) { file_.Open(path_); }
  ~ScratchWriter() {
    file_.Close();
    platform::DeleteFile(path_);
  }
  ScratchWriter(const ScratchWriter&) = delete;
  ScratchWriter& operator=(const ScratchWriter&) = delete;

  bool Write(const std::uint8_t* block) {
    const bool written = file_.Write(block, 1984);
    if (++blocks_ == kBlocksPerFile) {
      file_.Close();
      file_.Open(path_);
      blocks_ = 0;
    }
    return written;
  }

 private:
  std::string path_;
  platform::DataFile file_;
  std::int64_t blocks_ = 0;
};

// The floor's block: 2048 bytes copied, of which 1984 are written.
const std::uint8_t* FloorBlock() {
  static std::uint8_t source[2048];
  static std::uint8_t block[2048];
  std::memcpy(block, source, sizeof block);
  benchmark::DoNotOptimize(block);
  return block + 48;
}

void Baseline(benchmark::State& state) {
  ScratchWriter file("baseline.bin");
  for (auto _ : state) {
    if (!file.Write(FloorBlock())) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(state.iterations() * 1984);
}

// The floor and `block` (plus its write) take turns block by block, each timed on the wall
// clock: the kernel's page-cache work, most of either side's time, drifts over seconds and so
// meets both alike. Counters: each side's nanoseconds per block and their ratio.
template <typename Block>
void WriteBlocksAgainstFloor(benchmark::State& state, const char* name, Block block) {
  using Clock = std::chrono::steady_clock;
  ScratchWriter floor_file("floor.bin");
  ScratchWriter file(name);
  Clock::duration floor{};
  Clock::duration ours{};
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool floor_written = floor_file.Write(FloorBlock());
    const auto middle = Clock::now();
    const bool written = file.Write(block());
    ours += Clock::now() - middle;
    floor += middle - start;
    if (!floor_written || !written) state.SkipWithError("write failed");
  }
  const double blocks = static_cast<double>(state.iterations());
  const std::chrono::duration<double, std::nano> floor_ns = floor;
  const std::chrono::duration<double, std::nano> ours_ns = ours;
  state.counters["floor_ns"] = floor_ns.count() / blocks;
  state.counters["ns"] = ours_ns.count() / blocks;
  state.counters["ratio"] = ours_ns.count() / floor_ns.count();
}

void RequestBlockAndWrite(benchmark::State& state) {
  sim::SimDriver driver;
  driver.SetRecording(false);
  usb::VendorDriverProvider provider(driver);
  devicelink::DeviceLinkState link;
  platform::Hooks().standard_output = [](std::string_view) {};  // the identification line
  if (devicelink::OpenDeviceLink(link, provider) != 0) state.SkipWithError("no simulated module");
  WriteBlocksAgainstFloor(state, "request.bin", [&state, &link] {
    if (devicelink::RequestBlock(link, devicelink::kBlockSize, 0) != 0) state.SkipWithError("request failed");
    return link.BlockBuffer.data();
  });
  devicelink::CloseDeviceLink(link);
  platform::ResetHooks();
}

#ifdef RNGACQ_BENCH_LIBUSB
// The same through the libusb provider and libusb itself, against the stand-in bus: what a block
// costs the host above the kernel's and the device's part.
void LibusbRequestBlockAndWrite(benchmark::State& state) {
  const int device = standin::PlugIn(1);
  {
    const std::unique_ptr<usb::access::Provider> provider = libusb::MakeSystemDeviceProvider(device);
    devicelink::DeviceLinkState link;
    platform::Hooks().standard_output = [](std::string_view) {};  // the identification line
    if (devicelink::OpenDeviceLink(link, *provider) != 0) state.SkipWithError("no stand-in module");
    WriteBlocksAgainstFloor(state, "libusb.bin", [&state, &link] {
      if (devicelink::RequestBlock(link, devicelink::kBlockSize, 0) != 0)
        state.SkipWithError("request failed");
      return link.BlockBuffer.data();
    });
    devicelink::CloseDeviceLink(link);
    platform::ResetHooks();
  }
  standin::Unplug();
}

// The least a libusb program can do for the same block against the same stand-in: the same
// request frames, the answer's transfer and then the command's submitted into buffers allocated
// once, libusb's events handled until both are back, the data copied out. No checks. What the
// provider path costs above this is the program's own part.
void BareLibusbBlockAndWrite(benchmark::State& state) {
  const int device = standin::PlugIn(1);
  libusb_context* context = nullptr;
  libusb_device_handle* handle = nullptr;
  if (libusb_init(&context) != 0 || libusb_wrap_sys_device(context, device, &handle) != 0 ||
      libusb_claim_interface(handle, 0) != 0) {
    state.SkipWithError("no stand-in module");
  } else {
    constexpr std::uint32_t kFrames = protocol::DataFrames(devicelink::kBlockSize);
    std::array<std::uint8_t, 64> command{};
    const auto put = [&command](std::size_t at, const std::array<std::uint8_t, 16>& frame) {
      std::memcpy(command.data() + 16 * at, frame.data(), frame.size());
    };
    using protocol::Signature;
    put(0, protocol::CommandFrame(Signature::C0DE, 0x00, 0x03, 0x00));
    put(1, protocol::CommandFrame(Signature::C0DE, 0x04, 0x00, protocol::kModeRnd));
    put(2, protocol::CommandFrame(Signature::DA7A, 0x00, kFrames >> 8, kFrames & 0xFF));
    put(3, protocol::CommandFrame(Signature::C0DE, 0x10, 0x00, 0x00));
    alignas(64) static std::uint8_t answer[16 * (kFrames + 4)];
    alignas(64) static std::uint8_t block[devicelink::kBlockSize];
    int pending = 0;
    const auto done = [](libusb_transfer* transfer) { --*static_cast<int*>(transfer->user_data); };
    libusb_transfer* in = libusb_alloc_transfer(0);
    libusb_transfer* out = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(in, handle, 0x81, answer, sizeof answer, done, &pending, 0);
    libusb_fill_bulk_transfer(out, handle, 0x01, command.data(), command.size(), done, &pending, 0);
    WriteBlocksAgainstFloor(state, "bare.bin", [&] {
      pending = 2;
      if (libusb_submit_transfer(in) != 0 || libusb_submit_transfer(out) != 0)
        state.SkipWithError("submit failed");
      while (pending > 0) libusb_handle_events(context);
      std::memcpy(block, answer + protocol::kDataAt, sizeof block);
      return block;
    });
    libusb_free_transfer(in);
    libusb_free_transfer(out);
    libusb_release_interface(handle, 0);
  }
  if (handle != nullptr) libusb_close(handle);
  if (context != nullptr) libusb_exit(context);
  standin::Unplug();
}
#endif

// The library's read of one block at a time into the caller's buffer, written out like the
// program's blocks: 256 MiB in all.
void LibraryReadAndWrite(benchmark::State& state) {
  sim::SimDriver driver;
  driver.SetRecording(false);
  usb::VendorDriverProvider provider(driver);
  core::SetLibraryProvider(&provider);
  rngacq_module* module = nullptr;
  if (rngacq_open(nullptr, &module) != 0) state.SkipWithError("no simulated module");
  static std::uint8_t block[1984];
  WriteBlocksAgainstFloor(state, "library.bin", [&] {
    std::size_t done = 0;
    if (rngacq_read(module, block, sizeof block, &done) != 0) state.SkipWithError("read failed");
    return block;
  });
  rngacq_close(module);
  core::SetLibraryProvider(nullptr);
}
// The loops that write files each write 256 MiB per repetition, so that all of them meet the
// same file growth and the same rewinds; a briefer loop would never rewind and would look cheaper.
constexpr std::int64_t kBlocksPerRepetition = (256 << 20) / 1984;
// The kernel's page-cache work is most of each loop's time and drifts; the medians of nine
// interleaved repetitions keep the ratios steady to a few hundredths.
constexpr int kFileRepetitions = 9;
BENCHMARK(LibraryReadAndWrite)
    ->Iterations(kBlocksPerRepetition)
    ->Repetitions(kFileRepetitions)
    ->ReportAggregatesOnly(true);

#ifndef _WIN32
// Standard output is a pipe that a reader drains, as when a peer reads the stream; the blocks go
// through the run's own sink for standard output.
void RequestBlockAndStream(benchmark::State& state) {
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("no pipe");
    return;
  }
  std::thread reader([fd = fds[0]] {
    static char sink[1 << 16];
    while (read(fd, sink, sizeof sink) > 0) {
    }
  });
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);

  sim::SimDriver driver;
  driver.SetRecording(false);
  usb::VendorDriverProvider provider(driver);
  devicelink::DeviceLinkState link;
  platform::Hooks().standard_output = [](std::string_view) {};  // the identification line
  if (devicelink::OpenDeviceLink(link, provider) != 0) state.SkipWithError("no simulated module");
  const std::unique_ptr<app::DataSink> stream = app::MakeStandardOutputSink();
  std::size_t written = 0;
  for (auto _ : state) {
    if (devicelink::RequestBlock(link, devicelink::kBlockSize, 0) != 0) state.SkipWithError("request failed");
    if (stream->Write(link.BlockBuffer.data(), devicelink::kBlockSize, written) !=
        app::DataSink::Outcome::Done)
      state.SkipWithError("write failed");
  }
  devicelink::CloseDeviceLink(link);
  platform::ResetHooks();

  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  state.SetBytesProcessed(state.iterations() * 1984);
}
BENCHMARK(RequestBlockAndStream)->Repetitions(9)->ReportAggregatesOnly(true);
#endif

// The simulated module's own work for one block (decoding the command, making 2048 answer
// bytes), which a real module does in its hardware: measured alone so that it can be told apart.
void ModuleAnswer(benchmark::State& state) {
  sim::ModuleModel module(1);
  std::uint8_t command[64];
  std::uint8_t* at = command;
  for (const auto& frame : {protocol::CommandFrame(protocol::Signature::C0DE, 0x00, 0x03, 0x00),
                            protocol::CommandFrame(protocol::Signature::C0DE, 0x04, 0x00, 0x07),
                            protocol::CommandFrame(protocol::Signature::DA7A, 0x00, 0x00, 124),
                            protocol::CommandFrame(protocol::Signature::C0DE, 0x10, 0x00, 0x00)}) {
    std::memcpy(at, frame.data(), frame.size());
    at += frame.size();
  }
  static std::uint8_t answer[2048];
  for (auto _ : state) {
    module.Feed(command, sizeof command);
    if (module.Take(answer, sizeof answer) != sizeof answer) state.SkipWithError("short answer");
    benchmark::DoNotOptimize(answer);
  }
}

// The quality checks the run adds to each delivered block: one block of the module's stream
// fed to a checker, at the claim of each generator mode.
void QualityFeed(benchmark::State& state) {
  static const std::vector<std::uint8_t> data = sim::StreamBytes(1, 0, std::size_t{16} << 20);
  quality::Checker checker(static_cast<double>(state.range(0)));
  std::size_t at = 0;
  for (auto _ : state) {
    checker.Feed(data.data() + at, 1984);
    at = at + 2 * 1984 > data.size() ? 0 : at + 1984;
  }
  benchmark::DoNotOptimize(checker.Failed());
  state.SetBytesProcessed(state.iterations() * 1984);
}

// A block's round trip on a module that answers 40 us after each command (the bare bus time of
// a high-speed block), without checks (0), with the run's checks of each block done while the
// next block is on the bus (1), and with them done after each block's transfer instead (2).
// Wall time: the waits are what the checks hide in.
void RoundTrip(benchmark::State& state) {
  sim::Options options;
  options.latency_us = 40;
  options.complete_from_worker = true;
  sim::SimDriver driver(options);
  driver.SetRecording(false);
  usb::VendorDriverProvider provider(driver);
  devicelink::DeviceLinkState link;
  platform::Hooks().standard_output = [](std::string_view) {};  // the identification line
  if (devicelink::OpenDeviceLink(link, provider) != 0) state.SkipWithError("no simulated module");
  quality::Checker checker(8);
  const auto check = [&checker, &link] { checker.Feed(link.BlockBuffer.data(), devicelink::kBlockSize); };
  const std::function<void()> meanwhile = state.range(0) == 1 ? std::function<void()>(check) : nullptr;
  for (auto _ : state) {
    if (devicelink::RequestBlock(link, devicelink::kBlockSize, 0, meanwhile) != 0)
      state.SkipWithError("request failed");
    if (state.range(0) == 2) check();
  }
  benchmark::DoNotOptimize(checker.Failed());
  devicelink::CloseDeviceLink(link);
  platform::ResetHooks();
}
BENCHMARK(RoundTrip)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(20000)
    ->Repetitions(5)
    ->UseRealTime()
    ->ReportAggregatesOnly(true);

BENCHMARK(Baseline)
    ->Iterations(kBlocksPerRepetition)
    ->Repetitions(kFileRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(QualityFeed)->Arg(8)->Arg(1)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(RequestBlockAndWrite)
    ->Iterations(kBlocksPerRepetition)
    ->Repetitions(kFileRepetitions)
    ->ReportAggregatesOnly(true);
#ifdef RNGACQ_BENCH_LIBUSB
BENCHMARK(LibusbRequestBlockAndWrite)
    ->Iterations(kBlocksPerRepetition)
    ->Repetitions(kFileRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BareLibusbBlockAndWrite)
    ->Iterations(kBlocksPerRepetition)
    ->Repetitions(kFileRepetitions)
    ->ReportAggregatesOnly(true);
#endif
BENCHMARK(ModuleAnswer)->Repetitions(9)->ReportAggregatesOnly(true);

// Keeps the median CPU time per block of each benchmark (CPU time, as these loops never wait, is
// what other work on the machine disturbs least), the median counters of the loops paired with
// the floor, and the round trips' wall time, for the closing lines.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      const std::string& name = run.run_name.function_name;
      medians_[name] = run.GetAdjustedCPUTime();
      if (name == "RoundTrip") round_trips_[run.run_name.args] = run.GetAdjustedRealTime();
      if (const auto ratio = run.counters.find("ratio"); ratio != run.counters.end())
        paired_[name] = {run.counters.at("ns").value, run.counters.at("floor_ns").value, ratio->second.value};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() const {
    const auto bare = round_trips_.find("0");
    if (bare != round_trips_.end() && bare->second > 0) {
      for (const auto& [arg, label] :
           {std::pair{"1", "during the next block's transfer"}, {"2", "after each transfer"}}) {
        const auto found = round_trips_.find(arg);
        if (found == round_trips_.end()) continue;
        std::fprintf(
            stderr, "round trip with a 40 us answer: %.1f us bare, %.1f us with the checks %s (%+.1f %%)\n",
            bare->second / 1000, found->second / 1000, label, 100 * (found->second / bare->second - 1));
      }
    }
    const auto module = medians_.find("ModuleAnswer");
    for (const auto& [name, label] : {std::pair{"RequestBlockAndWrite", "RequestBlock+write"},
                                      {"LibraryReadAndWrite", "rngacq_read+write"},
                                      {"LibusbRequestBlockAndWrite", "RequestBlock through libusb+write"},
                                      {"BareLibusbBlockAndWrite", "bare libusb calls for a block+write"}}) {
      const auto found = paired_.find(name);
      if (found == paired_.end()) continue;
      const Paired& p = found->second;
      std::fprintf(stderr, "%s %.0f ns per block against the floor's %.0f ns, taking turns: ratio %.2f",
                   label, p.ns, p.floor_ns, p.ratio);
      if (module != medians_.end() && p.floor_ns > 0) {
        std::fprintf(stderr, "; %.2f without the simulated module's own %.0f ns",
                     (p.ns - module->second) / p.floor_ns, module->second);
      }
      std::fprintf(stderr, "\n");
    }
    const auto provider = paired_.find("LibusbRequestBlockAndWrite");
    const auto bare_libusb = paired_.find("BareLibusbBlockAndWrite");
    if (provider != paired_.end() && bare_libusb != paired_.end()) {
      std::fprintf(stderr,
                   "the libusb provider's host cost above libusb's own: %.0f ns per block, %.2f times the "
                   "floor\n",
                   provider->second.ns - bare_libusb->second.ns,
                   1 + provider->second.ratio - bare_libusb->second.ratio);
    }
    const auto base = medians_.find("Baseline");
    const auto stream = medians_.find("RequestBlockAndStream");
    const auto file = paired_.find("RequestBlockAndWrite");
    if (base != medians_.end() && stream != medians_.end() && base->second > 0) {
      std::fprintf(stderr, "RequestBlock+stream to a pipe %.0f ns, %.2f times the floor's %.0f ns",
                   stream->second, stream->second / base->second, base->second);
      if (file != paired_.end())
        std::fprintf(stderr, ", %.2f times the file's", stream->second / file->second.ns);
      std::fprintf(stderr, "\n");
    }
  }

 private:
  struct Paired {
    double ns, floor_ns, ratio;
  };
  std::map<std::string, double> medians_;
  std::map<std::string, Paired> paired_;
  std::map<std::string, double> round_trips_;  // by argument, in wall-clock nanoseconds
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the two loops take turns, so a change in the machine's load meets both.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}
