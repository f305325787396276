// Whole runs of the built rngacq-sim in scratch directories, as a script would start it:
// files and their bytes, logs, console output, exit codes, and the module's faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#endif

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

  static std::vector<std::string> Environment(const std::string& sim) {
    return sim.empty() ? std::vector<std::string>{} : std::vector<std::string>{"RNGACQ_SIM=" + sim};
  }

  ProgramResult Run(const std::vector<std::string>& arguments, const std::string& sim = "",
                    bool silent_input = false) {
    return testing_support::RunProgram(program, arguments, dir.path().string(), Environment(sim), {},
                                       silent_input);
  }

  // The files in the directory besides the program and its catalogue.
  std::vector<std::string> Made() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name != fs::path(program).filename().string() && name != "lang.INI") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
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
      {{"f.bin"}, "open_fail", "The module cannot be opened: the simulated module sim:0 refuses", 0},
      {{"f.bin"}, "no_bulk_in", "The module offers no bulk IN endpoint.", 0},
      {{"f.bin"}, "no_bulk_out", "The module offers no bulk OUT endpoint.", 0},
      {{"f.bin"}, "config_unreadable", "The module offers no bulk IN endpoint.", 0},
      {{"f.bin", "nodir/log"}, "", "Unable to create file nodir/log.wrn", 0},
      {{"f.bin"}, "refuse", "The module stopped answering (unplugged?)....press", 0},
      {{"f.bin"}, "short_send=16,time_divisor=1000", "The module took only part of the command.", 0},
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
      {{"f.bin", "/LEN=10000"}, "disconnect_after=2,time_divisor=1000", "stopped answering", 2 * 1984},
      {{"f.bin", "/LEN=10000"}, "status=3", "does not match the generator mode: 03h.", 0},
      {{"f.bin", "/LEN=10000"}, "short_answer=16,time_divisor=1000", "answer was shorter than asked.", 0},
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
#ifndef _WIN32
  // A disk that takes no byte more: the empty log this run made goes, an older log it reused
  // stays, and the data file is reported.
  testing_support::WriteFile(dir / "old.wrn", "older");
  for (const std::string log : {"new.wrn", "old.wrn"}) {
    const ProgramResult r = testing_support::RunProgram(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\"", program, "d.bin", log},
        dir.path().string());
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find("Writing to the data file failed"), std::string::npos) << r.out;
    EXPECT_EQ(fs::exists(dir / log), log == "old.wrn") << log;
  }
#endif
}

TEST_F(Acquisition, StandardOutputCarriesTheRecordsAndNothingElse) {
  ProgramResult r = Run({"f.bin", "/LEN=5000", "/FILES=2"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const auto files = TimeNamedFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string file_bytes = File("f.bin") + File(files[0]);
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    if (entry.path().extension() == ".bin" || entry.path().extension() == ".wrn") fs::remove(entry.path());
  }

  // One name makes no file: it would name the data file, which standard output replaces. The
  // texts, progress aside, go to standard error.
  r = Run({"/STDOUT", "x.bin", "/LEN=5000", "/FILES=2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == file_bytes);
  EXPECT_TRUE(Made().empty());
  EXPECT_NE(r.err.find("\n\nData file (2/2): -\nRecord length: 5000 bytes"), std::string::npos) << r.err;

  // A second name makes one log for all the records.
  r = Run({"/stdout", "x.bin", "run", "/LEN=5000", "/FILES=2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == file_bytes);
  EXPECT_EQ(Made(), std::vector<std::string>{"run.wrn"});
  const std::string log = File("run.wrn");
  EXPECT_EQ(log.rfind("\n\nData file (1/2): -\nRecord length: 5000 bytes\nGenerator mode = 07h, RND_GEN\n"
                      "Acquisition time = ",
                      0),
            0u)
      << log;
  EXPECT_NE(log.find("\n\nData file (2/2): -"), std::string::npos) << log;
}

// Each ending in both destinations: the exit code, the prompt only after a failure, and nothing
// but data on standard output. Standard input is a pipe held open that never delivers: no wait
// for a key or for the no-module answer may hang on it.
TEST_F(Acquisition, ExitCodesTellSuccessFromFailure) {
  struct Case {
    std::vector<std::string> arguments;
    std::string sim;
    int exit_code;
    std::size_t bytes;
  };
  const Case cases[] = {
      {{"f.bin", "/LEN=100"}, "", 0, 100}, {{"f.bin", "/?"}, "", 0, 0},
      {{"f.bin", "/LEN=-1"}, "", 1, 0},    {{"f.bin", "-"}, "", 1, 0},
      {{"f.bin"}, "devices=0", 1, 0},      {{"f.bin"}, "devices=2", 1, 0},
      {{"f.bin"}, "open_fail", 1, 0},      {{"f.bin"}, "no_bulk_out", 1, 0},
      {{"f.bin", "nodir/log"}, "", 1, 0},  {{"f.bin", "/LEN=100"}, "status=3", 1, 0},
  };
  for (const Case& c : cases) {
    for (const bool stream : {false, true}) {
      std::vector<std::string> arguments = c.arguments;
      if (stream) arguments.insert(arguments.begin(), "/STDOUT");
      const ProgramResult r = Run(arguments, c.sim, true);
      const std::string what = c.sim + " " + arguments.back() + (stream ? " /STDOUT" : "");
      EXPECT_EQ(r.exit_code, c.exit_code) << what << r.out << r.err;
      const std::string& texts = stream ? r.err : r.out;
      EXPECT_EQ(texts.find("...press any key to exit.") != std::string::npos,
                c.exit_code != 0 || c.arguments.back() == "/?")
          << what << texts;
      if (stream) {
        EXPECT_TRUE(r.out == Record(static_cast<std::int64_t>(c.bytes))) << what;
      }
    }
  }
}

#ifndef _WIN32
// A reader that closes the pipe ends the run as a success: no more requests, the count of bytes
// that reached the pipe on standard error, no prompt.
TEST_F(Acquisition, AReaderThatLeavesEndsTheRunNormally) {
  testing_support::StartedProgram p(program, {"/STDOUT", "/STREAM", "/FILES=2"}, dir.path().string());
  ASSERT_TRUE(p.started());
  const std::string head = p.Read(100000);
  EXPECT_TRUE(head == Record(100000)) << head.size();
  p.CloseOutput();
  const ProgramResult r = p.Finish();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::smatch delivered;
  ASSERT_TRUE(std::regex_search(r.err, delivered,
                                std::regex("\nThe reader closed standard output\\. Bytes "
                                           "delivered: ([0-9]+)\nAcquisition time = ")))
      << r.err;
  EXPECT_GE(std::stoll(delivered[1]), 100000);
  // The stream's closing summary holds the health tests' counts.
  EXPECT_NE(
      r.err.find("\nRepetition count test: warnings 0, failures 0; Adaptive proportion test: warnings 0"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("(2/2)"), std::string::npos);
  EXPECT_EQ(r.err.find("press any key"), std::string::npos);
  EXPECT_TRUE(Made().empty());
}

// SIGINT and SIGTERM stop a long record after the block in flight: the file keeps every byte
// received, its log says how many, then the timing report; no later file is started.
TEST_F(Acquisition, SignalsStopTheRecordAndKeepItsBytes) {
  for (const auto& [signal_number, exit_code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    for (const std::string& name : Made()) fs::remove(dir / name);
    testing_support::StartedProgram p(program, {"f.bin", "/LEN=2147483648", "/FILES=2"}, dir.path().string());
    ASSERT_TRUE(p.started());
    for (int i = 0; i < 2000 && !(fs::exists(dir / "f.bin") && fs::file_size(dir / "f.bin") > 0); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    p.Signal(signal_number);
    const ProgramResult r = p.Finish();
    EXPECT_EQ(r.exit_code, exit_code) << r.out;
    EXPECT_EQ(r.out.find("press any key"), std::string::npos) << r.out;
    EXPECT_EQ(Made(), (std::vector<std::string>{"f.bin", "f.wrn"}));

    const std::string log = File("f.wrn");
    std::smatch count;
    ASSERT_TRUE(
        std::regex_search(log, count,
                          std::regex("\nInterrupted: the record ends after ([0-9]+) bytes\n"
                                     "Acquisition time = [0-9]+ ms \\([0-9:,]+\\)(, Rate=[0-9]+ bytes/s)?\n"
                                     "Bytes: ")))
        << log;
    const std::string bytes = File("f.bin");
    EXPECT_EQ(std::to_string(bytes.size()), count[1].str());
    EXPECT_TRUE(bytes == Record(static_cast<std::int64_t>(bytes.size())));
  }

  // A block in flight that then fails after an interruption: the failure is said, and nobody is
  // asked for a key.
  {
    testing_support::StartedProgram p(program, {"h.bin"}, dir.path().string(),
                                      Environment("silent,time_divisor=10"));
    for (int i = 0; i < 2000 && File("h.wrn").find("RND_GEN") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    p.Signal(SIGINT);
    const ProgramResult r = p.Finish();
    EXPECT_NE(r.out.find("timed out"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("press any key"), std::string::npos) << r.out;
  }

  // A second signal while the run waits for the block in flight ends it at once.
  testing_support::StartedProgram p(program, {"g.bin"}, dir.path().string(), Environment("silent"));
  for (int i = 0; i < 2000 && File("g.wrn").find("RND_GEN") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  p.Signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  p.Signal(SIGINT);
  EXPECT_EQ(p.Finish().signal, SIGINT);
}
#endif

}  // namespace

namespace {

// Several modules: /LIST names them, /SERIAL= and /DEVICE= pick one, and each module's file is
// its own stream, the one the library reads from that module.
TEST_F(Acquisition, ListsModulesAndTakesTheOneSelected) {
  const ProgramResult list = Run({"/LIST"}, "devices=2,vid=abcd,pid=0001");
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_NE(list.out.find("\n0  abcd:0001  USB 2.0  SIM-00000001  Simulated random-number module\n"
                          "1  abcd:0001  USB 2.0  SIM-00000002  Simulated random-number module\n"),
            std::string::npos)
      << list.out;
  EXPECT_EQ(list.out.find("press any key"), std::string::npos);

  const ProgramResult picked = Run({"two.bin", "/SERIAL=SIM-00000002", "/LEN=5000"}, "devices=2");
  EXPECT_EQ(picked.exit_code, 0) << picked.out;
  EXPECT_NE(picked.out.find("SerialNumber=SIM-00000002"), std::string::npos);
  EXPECT_EQ(File("two.bin"), Record(5000, 2));

  const ProgramResult missing = Run({"none.bin", "/SERIAL=SIM-00000009"}, "devices=2");
  EXPECT_NE(missing.out.find("No random-number module is attached."), std::string::npos) << missing.out;
  EXPECT_FALSE(fs::exists(dir / "none.bin"));
}

}  // namespace

namespace {

// The quality checks inside the run: a stuck source stops it, a biased one fails its verdict,
// and a good file's report holds the figures rngacq-check finds in it.
TEST_F(Acquisition, StuckSourceStopsTheRunAndKeepsTheGoodBytes) {
  const ProgramResult r = Run({"s.bin", "/LEN=100000"}, "stuck_after=5000");
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_NE(r.out.find("Health failure: Repetition count test at byte 5008...press any key"),
            std::string::npos)
      << r.out;
  const std::string bytes = File("s.bin");
  ASSERT_GE(bytes.size(), 5000u);
  EXPECT_LT(bytes.size(), 100000u);
  EXPECT_TRUE(bytes.substr(0, 5000) == Record(5000));
  EXPECT_NE(File("s.wrn").find("Health failure: Repetition count test at byte 5008"), std::string::npos);
}

TEST_F(Acquisition, FailedVerdictFailsTheRunAfterEveryFile) {
  const ProgramResult r = Run({"b.bin", "/LEN=20000", "/FILES=2"}, "bias=600");
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_EQ(r.out.find("press any key"), std::string::npos) << r.out;
  const auto later = TimeNamedFiles();
  ASSERT_EQ(later.size(), 1u);
  for (const std::string& name : {std::string("b.bin"), later[0]}) {
    EXPECT_EQ(File(name).size(), 20000u) << name;
    EXPECT_NE(
        File(name.substr(0, name.size() - 4) + ".wrn").find("\nVerdict: fail; 7 FIPS 140-2 blocks failed"),
        std::string::npos)
        << name;
  }
}

TEST_F(Acquisition, ReportHoldsTheFiguresOfTheCheckProgram) {
  ASSERT_EQ(Run({"g.bin", "/LEN=200000", "/RNDNOP", "/PICTURE"}).exit_code, 0);
  const std::string log = File("g.wrn");
  const ProgramResult check = testing_support::RunProgram(
      RNGACQ_CHECK_PROGRAM, {"--json", "--entropy=1", "g.bin"}, dir.path().string());
  ASSERT_EQ(check.exit_code, 0) << check.out << check.err;
  // Each figure as the log shows it, formatted from the check program's value.
  struct Figure {
    const char* key;
    const char* label;
    const char* format;
  };
  const Figure figures[] = {
      {"bytes", "\nBytes: ", "%.0f"},
      {"entropy", "\nEntropy: ", "%f"},
      {"chi_square", "\nChi square: ", "%1.2f"},
      {"mean", "\nArithmetic mean: ", "%1.4f"},
      {"monte_carlo_pi", "\nMonte Carlo value for pi: ", "%1.9f"},
      {"serial_correlation", "\nSerial correlation: ", "%1.6f"},
      {"min_entropy_mcv", "\nMin-entropy (most common value): ", "%f"},
      {"blocks", "\nFIPS 140-2 blocks: ", "%.0f"},
  };
  for (const Figure& f : figures) {
    std::smatch value;
    ASSERT_TRUE(
        std::regex_search(check.out, value, std::regex(std::string("\"") + f.key + "\":([-0-9.e+]+)")))
        << f.key;
    char text[64];
    std::snprintf(text, sizeof text, f.format, std::stod(value[1]));
    EXPECT_NE(log.find(f.label + std::string(text)), std::string::npos) << f.key << " " << text << log;
  }
  EXPECT_NE(log.find("(claimed min-entropy 1)"), std::string::npos) << log;
  EXPECT_NE(log.find("\nVerdict: pass"), std::string::npos) << log;

  // The picture: PNG signature, width and height from its header.
  const std::string png = File("g.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  const auto big_endian = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  EXPECT_EQ(big_endian(16), 512);
  EXPECT_EQ(big_endian(20), 680);

  // A data file that has the picture's name keeps its bytes.
  ASSERT_EQ(Run({"p.png", "/LEN=100", "/PICTURE"}).exit_code, 0);
  EXPECT_EQ(File("p.png"), Record(100));
}

TEST_F(Acquisition, EntropyClaimOutsideOneToEightIsRefused) {
  for (const char* option :
       {"/ENTROPY=0", "/ENTROPY=9", "/ENTROPY=", "/ENTROPY=x", "/ENTROPY=2bits", "/ENTROPY=0.5"}) {
    const ProgramResult r = Run({"e.bin", option}, "", true);
    EXPECT_EQ(r.exit_code, 1) << option;
    EXPECT_NE(r.out.find(std::string("\"") + option + "\""), std::string::npos) << option << r.out;
    EXPECT_FALSE(fs::exists(dir / "e.bin")) << option;
  }
  ASSERT_EQ(Run({"e.bin", "/ENTROPY=4.5", "/LEN=100"}).exit_code, 0);
  EXPECT_NE(File("e.wrn").find("(claimed min-entropy 4.5)"), std::string::npos);
}

}  // namespace
