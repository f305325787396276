// The real rngacq program, linked with the libusb backend, against an emulated module: every
// byte of a record end to end, the identification line, the candidate list, and the faults that
// must end a run with exit code 1 while keeping the data already written.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "libusb/emulated_module.h"
#include "support/test_support.h"

namespace {

using emulated::DeviceOptions;
using emulated::Fault;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;

struct Outcome {
  int exit_code = -1;
  std::string console;  // standard output and standard error
  double seconds = 0;
};

// Runs the program in `dir` with standard input at end of file (so key prompts return at once)
// and no controlling terminal. The child inherits the emulation (preload and testbed).
Outcome RunProgram(const ScratchDir& dir, const std::vector<std::string>& arguments,
                   bool as_other_user = false) {
  const std::string program = RNGACQ_PROGRAM;
  const std::string console_path = dir / "console.txt";
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string cwd = dir.path().string();

  Outcome outcome;
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int output = open(console_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (input < 0 || output < 0) return outcome;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (as_other_user && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(125);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    dup2(input, 0);
    dup2(output, 1);
    dup2(output, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(input);
  close(output);
  if (pid < 0) return outcome;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() - start > std::chrono::seconds(60)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.console = ReadFile(console_path);
  return outcome;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Prefix(std::vector<std::uint8_t> bytes, std::size_t n) {
  bytes.resize(std::min(n, bytes.size()));
  return bytes;
}

class RngacqOnEmulatedBus : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!emulated::Testbed::Available(why)) GTEST_SKIP() << "USB emulation unavailable: " << why;
  }
};

TEST_F(RngacqOnEmulatedBus, StoresEveryByteOfAMultiBlockRecordAndIdentifiesTheModule) {
  {
    emulated::Testbed bus;
    DeviceOptions options;
    options.seed = 2024;
    const emulated::Device& module = bus.Add(options);
    ScratchDir dir;
    const Outcome run = RunProgram(dir, {"data.bin", "/LEN=5000", "/DEVICE=1234:5678"});
    ASSERT_EQ(run.exit_code, 0) << run.console;
    EXPECT_EQ(Bytes(ReadFile(dir / "data.bin")), emulated::ExpectedRecord(options.seed, 5000));
    EXPECT_EQ(module.Requests(), 3u);  // 1984 + 1984 + 1032
    EXPECT_EQ(module.LastMode(), 7);

    // libusb's own version stands for the driver's; a part beyond a byte shows as 255.
    const libusb_version* v = libusb_get_version();
    const auto part = [](unsigned n) { return n > 255 ? 255u : n; };
    char version[64];
    std::snprintf(version, sizeof version, " %u.%u.%u.%u;", part(v->major), part(v->minor), part(v->micro),
                  part(v->nano));
    EXPECT_NE(run.console.find("USB 2.0;"), std::string::npos) << run.console;
    EXPECT_NE(run.console.find(version), std::string::npos) << run.console;
    EXPECT_NE(run.console.find("\n  VendorID=1234h;ProductID=5678h;SerialNumber=EMU-0001"), std::string::npos)
        << run.console;
  }
  {
    // Full speed, the other generator mode, a record of whole blocks only.
    emulated::Testbed bus;
    DeviceOptions options;
    options.high_speed = false;
    options.seed = 99;
    const emulated::Device& module = bus.Add(options);
    ScratchDir dir;
    const Outcome run = RunProgram(dir, {"data.bin", "/LEN=3968", "/RNDNOP", "-device=1234:5678"});
    ASSERT_EQ(run.exit_code, 0) << run.console;
    EXPECT_EQ(Bytes(ReadFile(dir / "data.bin")), emulated::ExpectedRecord(options.seed, 3968));
    EXPECT_EQ(module.LastMode(), 3);
    EXPECT_NE(run.console.find("USB 1.1;"), std::string::npos) << run.console;
  }
}

TEST_F(RngacqOnEmulatedBus, WithoutASelectedModuleListsTheCandidates) {
  emulated::Testbed bus;
  bus.Add(DeviceOptions{});
  ScratchDir dir;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"data.bin"}, std::vector<std::string>{"data.bin", "/DEVICE=abcd:0001"}}) {
    const Outcome run = RunProgram(dir, arguments);
    EXPECT_EQ(run.exit_code, 0) << run.console;
    EXPECT_NE(run.console.find("\n  1234:5678 \"Emulated RNG module\" serial \"EMU-0001\""),
              std::string::npos)
        << run.console;
    EXPECT_EQ(run.console.find("VendorID="), std::string::npos) << run.console;
  }
  // A malformed ID is refused like any unrecognised option.
  const Outcome refused = RunProgram(dir, {"data.bin", "/DEVICE=1234-5678"});
  EXPECT_EQ(refused.exit_code, 1) << refused.console;
  EXPECT_NE(refused.console.find("\"/DEVICE=1234-5678\""), std::string::npos) << refused.console;
}

TEST_F(RngacqOnEmulatedBus, NamesTheDeviceNodeAndTheRuleWhenAccessIsDenied) {
  emulated::Testbed bus;
  bus.Add(DeviceOptions{});
  bus.DenyDeviceAccess();
  ScratchDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  const Outcome run = RunProgram(dir, {"data.bin", "/DEVICE=1234:5678"}, geteuid() == 0);
  EXPECT_EQ(run.exit_code, 0) << run.console;  // not a failed block request
  EXPECT_NE(
      run.console.find(" /dev/bus/usb/001/002 (USB ID 1234:5678); the udev rule 60-rngacq.rules must list"),
      std::string::npos)
      << run.console;
  EXPECT_EQ(run.console.find("VendorID="), std::string::npos) << run.console;
}

TEST_F(RngacqOnEmulatedBus, FaultsEndTheRunWithErrorAndKeepTheWrittenBlocks) {
  struct Case {
    Fault fault;
    const char* name;
  };
  for (const Case c : {Case{Fault::Unplug, "unplug"}, Case{Fault::ShortAnswer, "short answer"},
                       Case{Fault::Stall, "stall"}, Case{Fault::WrongStatus, "wrong status"}}) {
    SCOPED_TRACE(c.name);
    emulated::Testbed bus;
    DeviceOptions options;
    options.fault = c.fault;
    options.fault_at_request = 2;
    bus.Add(options);
    ScratchDir dir;
    const Outcome run = RunProgram(dir, {"data.bin", "/LEN=10000", "/DEVICE=1234:5678"});
    EXPECT_EQ(run.exit_code, 1) << run.console;
    EXPECT_LT(run.seconds, 5.0);  // no time-out is waited
    EXPECT_EQ(Bytes(ReadFile(dir / "data.bin")),
              Prefix(emulated::ExpectedRecord(options.seed, 10000), 2 * 1984));
  }
}

// The one test that waits the exchange's real time-out (9 s, then the abort).
TEST_F(RngacqOnEmulatedBus, SilentModuleTimesOutAndIsAborted) {
  emulated::Testbed bus;
  DeviceOptions options;
  options.fault = Fault::Silent;
  options.fault_at_request = 1;
  bus.Add(options);
  ScratchDir dir;
  const Outcome run = RunProgram(dir, {"data.bin", "/LEN=4000", "/DEVICE=1234:5678"});
  EXPECT_EQ(run.exit_code, 1) << run.console;
  EXPECT_GT(run.seconds, 8.5);
  EXPECT_LT(run.seconds, 13.0);  // the abort ends the receive; the 2 s grace is not used up
  EXPECT_EQ(Bytes(ReadFile(dir / "data.bin")), Prefix(emulated::ExpectedRecord(options.seed, 4000), 1984));
}

}  // namespace
