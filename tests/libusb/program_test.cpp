// The real rngacq program, linked with the libusb backend, against emulated modules: the choice by
// ID with the identification line, the candidate list, and the permission message. Records at both
// speeds and the faults are the C interface's test over the same backend.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "drivers/sim/module_model.h"
#include "libusb/emulated_module.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

using emulated::DeviceOptions;
using testing_support::ProgramResult;
using testing_support::ScratchDir;

// Runs the program in `dir`, inheriting the emulation (preload and testbed); `as_nobody` drops
// root's rights first, so that file permissions apply to it. That user may not reach the build
// tree (a clone in root's home), so it runs a copy, with its catalogue, in `dir`.
ProgramResult RunRngacq(const ScratchDir& dir, std::vector<std::string> arguments, bool as_nobody = false) {
  std::string program = RNGACQ_PROGRAM;
  if (as_nobody) {
    const std::string copy = dir / "program";
    std::filesystem::create_directories(copy);
    arguments.insert(arguments.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         testing_support::InstallProgram(program, copy, true)});
    program = "/usr/bin/setpriv";
  }
  return testing_support::RunProgram(program, arguments, dir.path().string());
}

testing::AssertionResult Shows(const ProgramResult& run, const std::string& text) {
  const bool found = run.out.find(text) != std::string::npos;
  return (found ? testing::AssertionSuccess() : testing::AssertionFailure()) << "output:\n" << run.out;
}

std::string Record(std::uint64_t seed, std::int64_t length) {
  const std::vector<std::uint8_t> bytes = sim::ExpectedRecord(seed, 0, length);
  return {bytes.begin(), bytes.end()};
}

class RngacqOnEmulatedBus : public ::testing::Test {
 protected:
  void SetUp() override { emulated::SkipOrFailWithoutEmulation(); }
};

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
    const ProgramResult run = RunRngacq(dir, arguments);
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_TRUE(Shows(run, "\n  1234:5678 \"Emulated RNG module\" serial \"EMU-0001\""));
    EXPECT_TRUE(Shows(run, "\n  1234:9999 \"Another board\" serial \"B-7\""));
    EXPECT_FALSE(Shows(run, "VendorID="));
  }

  const ProgramResult run = RunRngacq(dir, {"data.bin", "/LEN=100", "/DEVICE=1234:9999"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  EXPECT_TRUE(Shows(run, "ProductID=9999h;SerialNumber=B-7"));
  EXPECT_EQ(testing_support::ReadFile(dir / "data.bin"), Record(other.seed, 100));

  // A user whom the device node refuses is told which node and which rule.
  bus.DenyDeviceAccess();
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  const ProgramResult denied = RunRngacq(dir, {"denied.bin", "/DEVICE=1234:5678"}, geteuid() == 0);
  EXPECT_EQ(denied.exit_code, 1) << denied.out;
  EXPECT_TRUE(
      Shows(denied, " /dev/bus/usb/001/002 (USB ID 1234:5678); the udev rule 60-rngacq.rules must list"));
  EXPECT_FALSE(Shows(denied, "VendorID="));
}

}  // namespace
