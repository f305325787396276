// Whole runs of the built rngacq-sim in scratch directories, as a script would start it:
// files and their bytes, logs, console output, exit codes, and the module's faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "drivers/sim/sim_driver.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramResult;
using testing_support::ReadFile;

class Acquisition : public ::testing::Test {
 protected:
  void SetUp() override {
    program = testing_support::InstallProgram(RNGACQ_SIM_PROGRAM, dir.path().string(), true);
  }

  ProgramResult Run(const std::vector<std::string>& arguments, const std::string& sim = "") {
    std::vector<std::string> environment;
    if (!sim.empty()) environment.push_back("RNGACQ_SIM=" + sim);
    return testing_support::RunProgram(program, arguments, dir.path().string(), environment);
  }

  std::string File(const std::string& name) const { return ReadFile(dir / name); }

  static std::string Record(std::int64_t length, std::uint64_t seed = 1) {
    const auto bytes = sim::ExpectedRecord(seed, 0, length);
    return std::string(bytes.begin(), bytes.end());
  }

  // Time-named data files in the directory, in name order.
  std::vector<std::string> TimeNamedFiles() const {
    std::vector<std::string> names;
    const std::regex pattern("[0-9A-F]{8}\\.bin");
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (std::regex_match(name, pattern)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing_support::ScratchDir dir;
  std::string program;
};

TEST_F(Acquisition, WritesTheModulesStreamWithLogAndReport) {
  const ProgramResult r = Run({"out.bin", "/len=10000"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(File("out.bin"), Record(10000));

  const std::string log = File("out.wrn");
  EXPECT_EQ(
      log.rfind("\n\nData file (1/1): out.bin\nRecord length: 10000 bytes\nGenerator mode = 07h, RND_GEN\n"
                "Acquisition time = ",
                0),
      0u)
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("= [0-9]+ ms \\(00:00:[0-9]{2},[0-9]{3}\\)"))) << log;

  // The console shows the system line, the module, the separator, the heading and the report;
  // the progress indicator goes to the terminal, never to standard output.
  EXPECT_TRUE(
      std::regex_search(r.out, std::regex("Random-number module: USB 2\\.0;Driver version 1\\.5\\.5\\.0;\n"
                                          "  VendorID=[0-9a-f]{4}h;ProductID=[0-9a-f]{4}h;"
                                          "SerialNumber=SIM-00000001\n-{52}\n\nData file \\(1/1\\)")))
      << r.out;
  EXPECT_NE(r.out.find("RND_GEN ...\n\nAcquisition time = "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('%'), std::string::npos);
  EXPECT_EQ(r.out.find("press any key"), std::string::npos);
}

TEST_F(Acquisition, NamesLaterFilesFromTheClockStrictlyIncreasing) {
  ProgramResult r = Run({"/FILES=3", "/LEN=1984", "/rndnop"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const auto names = TimeNamedFiles();
  ASSERT_EQ(names.size(), 3u);
  const auto value = [](const std::string& name) { return std::stoul(name.substr(0, 8), nullptr, 16); };
  EXPECT_LT(value(names[0]), value(names[1]));
  EXPECT_LT(value(names[1]), value(names[2]));
  EXPECT_EQ(File(names[0]) + File(names[1]) + File(names[2]), [] {
    const auto bytes = sim::StreamBytes(1, 0, 3 * 1984);
    return std::string(bytes.begin(), bytes.end());
  }());
  EXPECT_NE(r.out.find("(2/3): " + names[1]), std::string::npos);
  EXPECT_NE(File(names[2].substr(0, 8) + ".wrn").find("Generator mode = 03h, RND_TST"), std::string::npos);

  // A name given on the command line serves the first file only; a second name moves its log.
  r = Run({"first.bin", "logs.txt", "/FILES=2", "/LEN=100"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(File("first.bin"), Record(100));
  EXPECT_NE(File("logs.wrn").find("(1/2): first.bin"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "first.wrn"));
  EXPECT_EQ(TimeNamedFiles().size(), 4u);
}

TEST_F(Acquisition, TransferModesAndSpeedsDeliverTheSameBytes) {
  for (const char* sim : {"speed=full", "driver=1.5.4.0", "worker", "seed=99"}) {
    fs::remove(dir / "m.bin");
    const ProgramResult r = Run({"m.bin", "/LEN=5000"}, sim);
    ASSERT_EQ(r.exit_code, 0) << sim << r.out;
    EXPECT_EQ(File("m.bin"), Record(5000, std::string(sim) == "seed=99" ? 99 : 1)) << sim;
  }
  EXPECT_NE(Run({"m.bin", "/LEN=10"}, "speed=full").out.find("USB 1.1;"), std::string::npos);
}

TEST_F(Acquisition, FailuresEndWithThePromptAndKeepWhatWasWritten) {
  struct Case {
    std::vector<std::string> arguments;
    std::string sim;
    std::string printed;
    std::size_t bytes_kept;
  };
  // A name starting with '/' would be an option: the full device is reached by a relative path.
  const std::string full = fs::relative("/dev/full", dir.path()).string();
  const Case cases[] = {
      {{"f.bin"}, "devices=0", "No random-number module is attached.", 0},
      {{"f.bin"}, "devices=2", "More than one random-number module is attached.", 0},
      {{"f.bin"}, "open_fail", "...press any key to exit.", 0},
      {{"f.bin"}, "no_bulk_in", "The module offers no bulk IN endpoint.", 0},
      {{"f.bin"}, "no_bulk_out", "The module offers no bulk OUT endpoint.", 0},
      {{"f.bin"}, "config_unreadable", "The module offers no bulk IN endpoint.", 0},
      {{"f.bin", "nodir/log"}, "", "Unable to create file nodir/log.wrn", 0},
      {{"f.bin"}, "refuse", "Sending a command to the module timed out.", 0},
      {{"f.bin"}, "short_send=16,time_divisor=1000", "...press any key to exit.", 0},
      // Transfers that even an abort does not end are kept alive, and the run still ends.
      {{"f.bin"},
       "silent,abort_ineffective,time_divisor=1000",
       "Receiving the module's answer timed out.",
       0},
      {{"f.bin", "/LEN=10000"}, "silent,time_divisor=1000", "Receiving the module's answer timed out.", 0},
      {{"f.bin", "/LEN=10000"},
       "send_pending,time_divisor=1000",
       "Sending a command to the module timed out.",
       0},
      {{"f.bin", "/LEN=10000"}, "disconnect_after=2,time_divisor=1000", "timed out", 2 * 1984},
      {{"f.bin", "/LEN=10000"}, "status=3", "does not match the generator mode: 03h.", 0},
      {{"f.bin", "/LEN=10000"}, "short_answer=16,time_divisor=1000", "press any key", 0},
      {{"f.bin", "/LEN=10000"}, "end=9", "unexpected status: len=80;blen=5;", 10000},
#ifndef _WIN32  // Windows has no full device
      {{full, "f.wrn", "/LEN=10000"},
       "",
       "Writing to the data file failed (disk full or I/O error): " + full,
       0},
#endif
      {{"nodir/f.bin"}, "", "Unable to create file nodir/f.bin", 0},
  };
  for (const Case& c : cases) {
    fs::remove(dir / "f.bin");
    fs::remove(dir / "f.wrn");
    const ProgramResult r = Run(c.arguments, c.sim);
    // Every failure ends with exit code 1 after the prompt; the warning about the last block
    // is not a failure.
    const bool failure = c.sim != "end=9";
    EXPECT_EQ(r.exit_code, failure ? 1 : 0) << c.sim << r.out;
    EXPECT_NE(r.out.find(c.printed), std::string::npos) << c.sim << r.out;
    const bool prompted = r.out.find("...press any key to exit.") != std::string::npos;
    EXPECT_EQ(prompted, failure) << c.sim << r.out;
    if (fs::exists(dir / "f.bin")) {
      EXPECT_EQ(File("f.bin"), Record(10000).substr(0, c.bytes_kept)) << c.sim;
    }
  }
  // A log whose heading was written stays when the module fails in the middle of the record.
  Run({"f.bin", "/LEN=10000"}, "disconnect_after=1,time_divisor=1000");
  EXPECT_NE(File("f.wrn").find("Data file (1/1): f.bin"), std::string::npos);
}

}  // namespace
