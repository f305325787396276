// The real rngacq program, linked with the libusb backend, against emulated modules: every byte
// of a record end to end, the identification line, the choice by ID and the candidate list, the
// permission message, and the faults that must end a run with exit code 1 while keeping the
// data already written.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "drivers/sim/module_model.h"
#include "libusb/emulated_module.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

using emulated::DeviceOptions;
using emulated::Fault;
using testing_support::ReadFile;
using testing_support::ScratchDir;

struct Outcome {
  int exit_code = -1;
  std::string console;
  double seconds = 0;
};

// Runs the program in `dir` as a user would, inheriting the emulation (preload and testbed);
// `as_nobody` drops root's rights first, so that file permissions apply to it. That user may not
// reach the build tree (a clone in root's home), so it runs a copy, with its catalogue, in `dir`.
Outcome RunRngacq(const ScratchDir& dir, std::vector<std::string> arguments, bool as_nobody = false) {
  std::string program = RNGACQ_PROGRAM;
  if (as_nobody) {
    const std::string copy = dir / "program";
    std::filesystem::create_directories(copy);
    arguments.insert(arguments.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         testing_support::InstallProgram(program, copy, true)});
    program = "/usr/bin/setpriv";
  }
  const auto start = std::chrono::steady_clock::now();
  const auto result = testing_support::RunProgram(program, arguments, dir.path().string());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {result.exit_code, result.out, took.count()};
}

// Whether the program's output holds `text`; the output goes with either answer.
testing::AssertionResult Shows(const Outcome& run, const std::string& text) {
  const bool found = run.console.find(text) != std::string::npos;
  return (found ? testing::AssertionSuccess() : testing::AssertionFailure()) << "output:\n" << run.console;
}

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  const std::string text = ReadFile(path);
  return {text.begin(), text.end()};
}

class RngacqOnEmulatedBus : public ::testing::Test {
 protected:
  void SetUp() override { emulated::SkipOrFailWithoutEmulation(); }
};

TEST_F(RngacqOnEmulatedBus, StoresEveryByteOfAMultiBlockRecordAndIdentifiesTheModule) {
  struct Case {
    bool high_speed;
    std::vector<std::string> arguments;
    std::int64_t length;
    const char* speed;
  };
  // A remainder block at high speed; whole blocks, the other generator mode and the option's
  // other spelling at full speed.
  for (const Case& c :
       {Case{true, {"data.bin", "/LEN=5000", "/DEVICE=1234:5678"}, 5000, "USB 2.0;"},
        Case{false, {"data.bin", "/LEN=3968", "/RNDNOP", "-device=1234:5678"}, 3968, "USB 1.1;"}}) {
    SCOPED_TRACE(c.speed);
    emulated::Testbed bus;
    DeviceOptions options;
    options.high_speed = c.high_speed;
    options.seed = static_cast<std::uint64_t>(c.length);
    bus.Add(options);
    ScratchDir dir;
    const Outcome run = RunRngacq(dir, c.arguments);
    ASSERT_EQ(run.exit_code, 0) << run.console;
    EXPECT_EQ(FileBytes(dir / "data.bin"), sim::ExpectedRecord(options.seed, 0, c.length));

    // libusb's own version stands for the driver's; a part beyond a byte shows as 255.
    const libusb_version* v = libusb_get_version();
    const auto part = [](unsigned n) { return n > 255 ? 255u : n; };
    char version[64];
    std::snprintf(version, sizeof version, " %u.%u.%u.%u;", part(v->major), part(v->minor), part(v->micro),
                  part(v->nano));
    EXPECT_TRUE(Shows(run, c.speed));
    EXPECT_TRUE(Shows(run, version));
    EXPECT_TRUE(Shows(run, "\n  VendorID=1234h;ProductID=5678h;SerialNumber=EMU-0001"));
  }
}

TEST_F(RngacqOnEmulatedBus, TakesTheModuleWithTheGivenIdListsTheCandidatesOtherwiseAndNamesADeniedNode) {
  emulated::Testbed bus;
  bus.Add(DeviceOptions{});
  DeviceOptions other;
  other.product = 0x9999;
  other.address = 3;
  other.product_name = "Another board";
  other.serial = "B-7";
  other.seed = 7;
  bus.Add(other);
  ScratchDir dir;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"none.bin"}, std::vector<std::string>{"none.bin", "/DEVICE=abcd:0001"}}) {
    const Outcome run = RunRngacq(dir, arguments);
    EXPECT_EQ(run.exit_code, 1) << run.console;
    EXPECT_TRUE(Shows(run, "\n  1234:5678 \"Emulated RNG module\" serial \"EMU-0001\""));
    EXPECT_TRUE(Shows(run, "\n  1234:9999 \"Another board\" serial \"B-7\""));
    EXPECT_FALSE(Shows(run, "VendorID="));
  }

  const Outcome run = RunRngacq(dir, {"data.bin", "/LEN=100", "/DEVICE=1234:9999"});
  ASSERT_EQ(run.exit_code, 0) << run.console;
  EXPECT_TRUE(Shows(run, "ProductID=9999h;SerialNumber=B-7"));
  EXPECT_EQ(FileBytes(dir / "data.bin"), sim::ExpectedRecord(other.seed, 0, 100));

  // A user whom the device node refuses is told which node and which rule.
  bus.DenyDeviceAccess();
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  const Outcome denied = RunRngacq(dir, {"denied.bin", "/DEVICE=1234:5678"}, geteuid() == 0);
  EXPECT_EQ(denied.exit_code, 1) << denied.console;
  EXPECT_TRUE(
      Shows(denied, " /dev/bus/usb/001/002 (USB ID 1234:5678); the udev rule 60-rngacq.rules must list"));
  EXPECT_FALSE(Shows(denied, "VendorID="));
}

// A silent module costs the exchange's real time-out (9 s; the one test that waits it), after
// which the abort ends the receive at once, well before the 2 s allowed for it run out. The
// other faults end the run without any time-out.
TEST_F(RngacqOnEmulatedBus, FaultsEndTheRunWithErrorAndKeepTheWrittenBlocks) {
  struct Case {
    Fault fault;
    double min_seconds, max_seconds;
  };
  for (const Case c : {Case{Fault::Unplug, 0, 5}, Case{Fault::ShortAnswer, 0, 5}, Case{Fault::Stall, 0, 5},
                       Case{Fault::Silent, 8.5, 10.5}}) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    emulated::Testbed bus;
    DeviceOptions options;
    options.fault = c.fault;
    options.fault_at_request = 2;
    bus.Add(options);
    ScratchDir dir;
    const Outcome run = RunRngacq(dir, {"data.bin", "/LEN=10000", "/DEVICE=1234:5678"});
    EXPECT_EQ(run.exit_code, 1) << run.console;
    EXPECT_GT(run.seconds, c.min_seconds);
    EXPECT_LT(run.seconds, c.max_seconds);
    EXPECT_EQ(FileBytes(dir / "data.bin"), sim::ExpectedRecord(options.seed, 0, 2 * 1984));
  }
}

}  // namespace
