// Whole runs of the built rngacq-sim in scratch directories, as a script would start it.
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
using testing_support::Holds;
using testing_support::ProgramResult;
using testing_support::RunProgram;
using testing_support::SameBytes;

class Acquisition : public ::testing::Test {
 protected:
  // `sim` configures the simulated module and its faults.
  ProgramResult Run(const std::vector<std::string>& arguments, const std::string& sim = "") {
    return RunProgram(program, arguments, dir.path().string(), {"RNGACQ_SIM=" + sim});
  }

  // The files the runs made (not the program and its catalogue) whose names match, in name order.
  std::vector<std::string> Made(const std::string& pattern = ".*") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (entry.path() != program && name != "lang.INI" && std::regex_match(name, std::regex(pattern)))
        names.push_back(name);
    }
    std::ranges::sort(names);
    return names;
  }

  std::string File(const std::string& name) const { return testing_support::ReadFile(dir / name); }

  static std::string Record(std::int64_t length, std::uint64_t seed = 1, std::uint64_t offset = 0) {
    const auto bytes = sim::ExpectedRecord(seed, offset, length);
    return std::string(bytes.begin(), bytes.end());
  }

#ifndef _WIN32
  testing_support::StartedProgram Start(const std::vector<std::string>& arguments,
                                        const std::string& sim = "") {
    return testing_support::StartedProgram(program, arguments, dir.path().string(), {"RNGACQ_SIM=" + sim});
  }
  static void WaitUntil(const auto& ready) {
    for (int i = 0; i < 2000 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
#endif

  testing_support::ScratchDir dir;
  const std::string program = testing_support::InstallProgram(RNGACQ_SIM_PROGRAM, dir.path().string());
};

// A name in any script reaches the files (on Windows as UTF-16) and the output (as UTF-8) unchanged.
TEST_F(Acquisition, WritesTheModulesStreamWithLogAndReport) {
  const std::string name = "Gr\u00FC\u00DFe-\u03A9-\U0001F3B2";
  const ProgramResult r = Run({name + ".bin", "/len=10000"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(Holds(r.out, name + ".bin"));
  EXPECT_TRUE(SameBytes(File(name + ".bin"), Record(10000)));
  const std::string log = File(name + ".wrn");
  EXPECT_TRUE(std::regex_search(
      log, std::regex(R"(^\n\nData file \(1/1\): )" + name +
                      R"(\.bin\nRecord length: 10000 bytes\n)"
                      R"(Generator mode = 07h, RND_GEN\nAcquisition time = \d+ ms \(00:00:\d\d,\d{3}\))")))
      << log;

  // The progress indicator goes to the terminal, never to standard output (RunTest sees the rest).
  EXPECT_FALSE(std::regex_search(r.out, std::regex("%|press any key"))) << r.out;

  // Without a name, the data file and its log are named alike from the clock.
  ASSERT_EQ(Run({"/LEN=100"}).exit_code, 0);
  const auto timed = Made("[0-9A-F]{8}\\.(bin|wrn)");
  ASSERT_EQ(timed.size(), 2u) << testing::PrintToString(timed);
  EXPECT_EQ(timed[1], fs::path(timed[0]).stem().string() + ".wrn");
  EXPECT_TRUE(SameBytes(File(timed[0]), Record(100)));
  for (const std::string& made : timed) fs::remove(dir / made);

  // The other transfer modes and speeds deliver the same bytes.
  for (const char* sim : {"speed=full", "driver=1.5.4.0", "worker", "seed=99"}) {
    ASSERT_EQ(Run({"m.bin", "/LEN=5000"}, sim).exit_code, 0) << sim;
    EXPECT_TRUE(SameBytes(File("m.bin"), Record(5000, std::string(sim) == "seed=99" ? 99 : 1))) << sim;
  }
}

// Every failure ends with exit 1 after the prompt and keeps what was written; with /STDOUT texts go
// to standard error.
TEST_F(Acquisition, FailuresEndWithThePromptAndKeepWhatWasWritten) {
  // A name starting with '/' would be an option: the full device is reached by a relative path.
  const std::string full = fs::relative("/dev/full", dir.path()).string();
  const std::string fast = "time_divisor=1000,";
  // Each case: the arguments, the module's faults, what is printed, and the bytes kept.
  struct Case {
    std::vector<std::string> args = {"f.bin"};
    std::string faults = "";
    std::string printed;
    std::size_t kept = 0;
  };
  const Case cases[] = {
      {.faults = "devices=0", .printed = "No random-number module is attached."},
      {.args = {"/STDOUT"}, .faults = "devices=0", .printed = "No random-number module is attached."},
      {.faults = "devices=2", .printed = "More than one random-number module is attached."},
      {.faults = "open_fail", .printed = "The module cannot be opened: the simulated module sim:0 refuses"},
      {.faults = "config_unreadable", .printed = "The module offers no bulk IN endpoint."},
      {.args = {"f.bin", "nodir/log"}, .printed = "Unable to create file nodir/log.wrn"},
      {.args = {"nodir/f.bin"}, .printed = "Unable to create file nodir/f.bin"},
      {.args = {"/STDOUT", "-"}, .printed = "Unrecognised option \"-\""},
      {.faults = "refuse", .printed = "The module stopped answering (unplugged?)....press"},
      {.faults = fast + "short_send=16", .printed = "The module took only part of the command."},
      // Transfers that even an abort does not end are kept alive, and the run still ends.
      {.faults = fast + "silent,abort_ineffective", .printed = "Receiving the module's answer timed out."},
      {.faults = fast + "send_pending", .printed = "Sending a command to the module timed out."},
      {.faults = "status=3", .printed = "does not match the generator mode: 03h."},
      {.args = {"/STDOUT"}, .faults = "status=3", .printed = "does not match the generator mode: 03h."},
      {.faults = fast + "short_answer=16", .printed = "answer was shorter than asked."},
      // A warning, not a failure.
      {.faults = "end=9", .printed = "unexpected status: len=80;blen=5;", .kept = 10000},
#ifndef _WIN32  // Windows has no full device
      {.args = {full, "f.wrn"},
       .printed = "Writing to the data file failed (disk full or I/O error): " + full},
#endif
      // The last: see below.
      {.faults = fast + "disconnect_after=2", .printed = "stopped answering", .kept = 2 * 1984},
  };
  for (const Case& c : cases) {
    for (const char* name : {"f.bin", "f.wrn"}) fs::remove(dir / name);
    SCOPED_TRACE(c.faults + " " + c.args.back());
    const ProgramResult r = Run(c.args, c.faults);
    const bool stream = c.args[0] == "/STDOUT", failure = c.faults != "end=9";
    const std::string& texts = stream ? r.err : r.out;
    EXPECT_TRUE(Holds(texts, c.printed));
    EXPECT_EQ(r.exit_code, int{failure});
    if (failure) {
      EXPECT_TRUE(Holds(texts, "...press any key to exit."));
    } else {
      EXPECT_FALSE(Holds(texts, "...press any key to exit."));
    }
    if (stream || fs::exists(dir / "f.bin")) {
      EXPECT_TRUE(SameBytes(stream ? r.out : File("f.bin"), Record(10000).substr(0, c.kept)));
    }
  }
  // The last case's log, its heading written, stays when the module fails in the middle of the record.
  EXPECT_TRUE(Holds(File("f.wrn"), "Data file (1/1): f.bin"));
#ifndef _WIN32
  // A disk that takes no byte more: the empty log this run made goes, an older log it reused stays.
  testing_support::WriteFile(dir / "old.wrn", "older");
  for (const std::string log : {"new.wrn", "old.wrn"}) {
    const ProgramResult r =
        RunProgram("/bin/sh", {"-c", R"(trap '' XFSZ; ulimit -f 0; exec "$0" "$@")", program, "d.bin", log},
                   dir.path().string());
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_TRUE(Holds(r.out, "Writing to the data file failed"));
    EXPECT_EQ(fs::exists(dir / log), log == "old.wrn") << log;
  }
  // Standard output on a full disk: a failure, not a reader that left.
  const ProgramResult r = RunProgram(
      "/bin/sh", {"-c", R"(exec "$0" "$@" >/dev/full)", program, "/STDOUT", "/LEN=100"}, dir.path().string());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Holds(r.err, "Writing to the data file failed (disk full or I/O error): -..."));
#endif
}

// Under /STDOUT one name makes no file (standard output replaces the data file it names); a second
// makes one log for all records. Texts go to standard error; the bytes are those two files would hold.
// A simulation that cannot be read is the simulated module's error, said once on standard error:
// the program does not start a run.
TEST_F(Acquisition, AMalformedSimulationEndsWithExitTwoBeforeAnyFile) {
  const ProgramResult r = Run({"f.bin", "/LEN=100"}, "devices=many");
  EXPECT_EQ(r.exit_code, 2) << r.out;
  EXPECT_TRUE(Holds(r.err, ": RNGACQ_SIM: ")) << r.err;
  EXPECT_EQ(Made(), std::vector<std::string>{});
}

TEST_F(Acquisition, StandardOutputCarriesTheRecordsAndNothingElse) {
  const ProgramResult alone = Run({"/STDOUT", "x.bin", "/LEN=5000", "/FILES=2"});
  ASSERT_EQ(alone.exit_code, 0) << alone.err;
  EXPECT_TRUE(Made().empty());
  EXPECT_TRUE(Holds(alone.err, "\n\nData file (2/2): -\nRecord length: 5000 bytes"));

  const ProgramResult logged = Run({"/stdout", "x.bin", "run", "/LEN=5000", "/FILES=2"});
  ASSERT_EQ(logged.exit_code, 0) << logged.err;
  EXPECT_TRUE(SameBytes(logged.out, alone.out));
  EXPECT_EQ(Made(), std::vector<std::string>{"run.wrn"});
  const std::string log = File("run.wrn");
  const std::string heading =
      "\n\nData file (1/2): -\nRecord length: 5000 bytes\nGenerator mode = 07h, RND_GEN\nAcquisition time = ";
  EXPECT_EQ(log.substr(0, heading.size()), heading);
  EXPECT_TRUE(Holds(log, "\n\nData file (2/2): -"));

  // A name given serves the first file only; the next is named from the clock.
  ASSERT_EQ(Run({"f.bin", "/LEN=5000", "/FILES=2"}).exit_code, 0);
  const auto later = Made("[0-9A-F]{8}\\.bin");
  ASSERT_EQ(later.size(), 1u);
  EXPECT_TRUE(SameBytes(alone.out, File("f.bin") + File(later[0])));
  // The second record goes on with the module's stream after the whole frames the first took.
  EXPECT_TRUE(SameBytes(alone.out, Record(5000) + Record(5000, 1, 5008)));
}

#ifndef _WIN32
// A reader that closes the pipe ends the run as a success: the bytes delivered said, no prompt.
TEST_F(Acquisition, AReaderThatLeavesEndsTheRunNormally) {
  auto p = Start({"/STDOUT", "/STREAM", "/FILES=2"});
  EXPECT_TRUE(SameBytes(p.Read(100000), Record(100000)));
  p.CloseOutput();
  const ProgramResult r = p.Finish();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::smatch delivered;
  const std::regex report(
      R"(\nThe reader closed standard output\. Bytes delivered: (\d+)\nAcquisition time = )");
  ASSERT_TRUE(std::regex_search(r.err, delivered, report)) << r.err;
  EXPECT_GE(std::stoll(delivered[1]), 100000);
  // The stream's closing summary holds the health tests' counts.
  EXPECT_TRUE(
      Holds(r.err, "\nRepetition count test: warnings 0, failures 0; Adaptive proportion test: warnings 0"));
  EXPECT_FALSE(std::regex_search(r.err, std::regex("\\(2/2\\)|press any key"))) << r.err;
  EXPECT_TRUE(Made().empty());
}

// An endless record says what it has delivered each time another 64 MiB have gone out, at the
// block that passes the mark: the 33,856th of 1984 bytes.
TEST_F(Acquisition, AnEndlessRecordSaysWhatItDeliveredAfterEvery64MiB) {
  auto p = Start({"/STDOUT", "/STREAM"});
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  std::size_t read = 0;
  while (read < 65 * kMiB) {
    const std::size_t got = p.Read(kMiB).size();
    ASSERT_GT(got, 0u) << "the stream ended after " << read << " bytes";
    read += got;
  }
  p.CloseOutput();
  const ProgramResult r = p.Finish();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string summary =
      "\nDelivered: 67174272 bytes\nRepetition count test: warnings 0, failures 0; Adaptive proportion test: "
      "warnings 0, failures 0; Block repetition test: warnings 0, failures 0\n";
  EXPECT_TRUE(Holds(r.err, summary));
  EXPECT_EQ(r.err.find("\nDelivered: "), r.err.find(summary)) << "no summary before the first 64 MiB";
}

// SIGINT and SIGTERM stop a record after the block in flight: the file keeps every byte, its log says
// how many, then the timing report; no later file is started.
TEST_F(Acquisition, SignalsStopTheRecordAndKeepItsBytes) {
  for (const auto& [signal_number, exit_code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    for (const std::string& name : Made()) fs::remove(dir / name);
    auto p = Start({"f.bin", "/LEN=2147483648", "/FILES=2"});
    WaitUntil([&] { return fs::exists(dir / "f.bin") && fs::file_size(dir / "f.bin") > 0; });
    p.Signal(signal_number);
    const ProgramResult r = p.Finish();
    EXPECT_EQ(r.exit_code, exit_code);
    EXPECT_FALSE(Holds(r.out, "press any key"));
    EXPECT_EQ(Made(), (std::vector<std::string>{"f.bin", "f.wrn"}));

    const std::string log = File("f.wrn");
    std::smatch count;
    const std::regex ending(R"(\nInterrupted: the record ends after (\d+) bytes\n)"
                            R"(Acquisition time = \d+ ms \([\d:,]+\)(, Rate=\d+ bytes/s)?\nBytes: )");
    ASSERT_TRUE(std::regex_search(log, count, ending)) << log;
    EXPECT_TRUE(SameBytes(File("f.bin"), Record(std::stoll(count[1]))));
  }

  // Interrupted while a block is in flight, once or twice. A signal that lands before the first request
  // (after the heading) ends the run without waiting: the case is tried again. A fault fails every try.
  const auto interrupt = [&](const std::string& sim, bool twice, auto waited) {
    ProgramResult r;
    for (int attempt = 0; attempt < 5 && !(attempt > 0 && waited(r)); ++attempt) {
      for (const char* name : {"h.bin", "h.wrn"}) fs::remove(dir / name);
      auto p = Start({"h.bin"}, sim);
      WaitUntil([&] { return Holds(File("h.wrn"), "RND_GEN"); });
      p.Signal(SIGINT);
      if (twice) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (twice) p.Signal(SIGINT);
      r = p.Finish();
    }
    return r;
  };
  // A block that then fails: the failure is said, and nobody is asked for a key.
  const ProgramResult failed = interrupt("silent,time_divisor=10", false,
                                         [](const ProgramResult& r) { return Holds(r.out, "timed out"); });
  EXPECT_TRUE(Holds(failed.out, "timed out"));
  EXPECT_FALSE(Holds(failed.out, "press any key"));
  // A second signal while the run waits for the block ends it at once.
  EXPECT_EQ(interrupt("silent", true, [](const ProgramResult& r) { return r.signal != 0; }).signal, SIGINT);
}
#endif

// Several modules: /LIST names them, /SERIAL= picks one, whose own stream fills the file. A claimed
// entropy reaches the report.
TEST_F(Acquisition, ListsModulesAndTakesTheOneSelected) {
  const ProgramResult list = Run({"/LIST"}, "devices=2,vid=abcd,pid=0001");
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_FALSE(Holds(list.out, "press any key"));
  EXPECT_TRUE(Holds(list.out,
                    "\n0  abcd:0001  USB 2.0  SIM-00000001  Simulated random-number module\n"
                    "1  abcd:0001  USB 2.0  SIM-00000002  Simulated random-number module\n"));

  const ProgramResult picked =
      Run({"two.bin", "/SERIAL=SIM-00000002", "/LEN=5000", "/ENTROPY=4.5"}, "devices=2");
  EXPECT_EQ(picked.exit_code, 0) << picked.out;
  EXPECT_TRUE(Holds(picked.out, "SerialNumber=SIM-00000002"));
  EXPECT_TRUE(SameBytes(File("two.bin"), Record(5000, 2)));
  EXPECT_TRUE(Holds(File("two.wrn"), "(claimed min-entropy 4.5)"));

  const ProgramResult missing = Run({"none.bin", "/SERIAL=SIM-00000009"}, "devices=2");
  EXPECT_TRUE(Holds(missing.out, "No random-number module is attached."));
  EXPECT_FALSE(fs::exists(dir / "none.bin"));
}

// The console shows a record's first eight health warnings, while its report counts them all;
// each record starts its own eight.
TEST_F(Acquisition, ShowsTheFirstEightHealthWarningsOfEachRecord) {
  const ProgramResult r = Run({"w.bin", "/LEN=300000", "/FILES=2"}, "bias=640");
  const std::size_t second = r.out.find("\nData file (2/2)");
  ASSERT_NE(second, std::string::npos) << r.out;
  const auto shown = [](const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = part.find("\nHealth warning: "); at != std::string::npos;
         at = part.find("\nHealth warning: ", at + 1))
      ++count;
    return count;
  };
  const std::string first_record = r.out.substr(0, second), second_record = r.out.substr(second);
  EXPECT_TRUE(Holds(first_record, "warnings 13, failures 0")) << first_record;
  EXPECT_EQ(shown(first_record), 8u) << first_record;
  EXPECT_TRUE(Holds(second_record, "warnings 7, failures 0")) << second_record;
  EXPECT_EQ(shown(second_record), 7u) << second_record;
}

// The quality checks inside the run: a stuck source stops it, keeping the good bytes; a biased one
// fails its verdict after every file; a good file's report holds the figures rngacq-check finds in it.
TEST_F(Acquisition, QualityChecksStopOrFailTheRunAndReportTheCheckProgramsFigures) {
  const ProgramResult r = Run({"s.bin", "/LEN=100000"}, "stuck_after=5000");
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_TRUE(Holds(r.out, "Health failure: Repetition count test at byte 5008...press any key"));
  const std::string bytes = File("s.bin");
  EXPECT_LT(bytes.size(), 100000u);
  EXPECT_TRUE(SameBytes(bytes.substr(0, 5000), Record(5000))) << "the bytes before the fault";
  EXPECT_TRUE(Holds(File("s.wrn"), "Health failure: Repetition count test at byte 5008"));
  // On standard output the same blocks arrive, none held back by the stream's buffer.
  const ProgramResult streamed = Run({"/STDOUT", "/LEN=100000"}, "stuck_after=5000");
  EXPECT_EQ(streamed.exit_code, 1) << streamed.err;
  EXPECT_TRUE(SameBytes(streamed.out, bytes));

  const ProgramResult biased = Run({"b.bin", "/LEN=20000", "/FILES=2"}, "bias=600");
  EXPECT_EQ(biased.exit_code, 1);
  EXPECT_FALSE(Holds(biased.out, "press any key"));
  const auto later = Made("[0-9A-F]{8}\\.bin");
  ASSERT_EQ(later.size(), 1u);
  for (const std::string& stem : {std::string("b"), fs::path(later[0]).stem().string()}) {
    EXPECT_EQ(File(stem + ".bin").size(), 20000u) << stem;
    EXPECT_TRUE(Holds(File(stem + ".wrn"), "\nVerdict: fail; 7 FIPS 140-2 blocks failed")) << stem;
  }

  ASSERT_EQ(Run({"g.bin", "/LEN=200000", "/RNDNOP", "/PICTURE"}).exit_code, 0);
  const ProgramResult check = RunProgram(RNGACQ_CHECK_PROGRAM, {"--entropy=1", "g.bin"}, dir.path().string());
  ASSERT_EQ(check.exit_code, 0) << check.out << check.err;
  // The log's report is the check program's, line for line, without its indentation.
  const std::string log = File("g.wrn");
  EXPECT_TRUE(Holds(log, "\nGenerator mode = 03h, RND_TST\n"));
  EXPECT_EQ("g.bin\n" + log.substr(log.find("\nBytes: ") + 1) + "\n",
            std::regex_replace(check.out, std::regex("\r?\n(  )?"), "\n"));
  EXPECT_EQ(File("g.png").substr(0, testing_support::kPngSignature.size()), testing_support::kPngSignature);

  // A data file that has the picture's name keeps its bytes.
  ASSERT_EQ(Run({"p.png", "/LEN=100", "/PICTURE"}).exit_code, 0);
  EXPECT_TRUE(SameBytes(File("p.png"), Record(100)));
}

// The options as the manual page states them, one statement a row: the files a run makes, the
// exit status, and what its log or output says.
// Restart data: each row of 1000 bytes comes from a fresh opening of the module, and the log says
// where; the rows stand one after another, as the restart test reads them.
TEST_F(Acquisition, RestartDataOpenTheModuleAgainBeforeEveryRow) {
  const ProgramResult r = Run({"r.bin", "/RESTARTS=4", "/RNDNOP", "/LEN=50", "/STREAM"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  // A row takes 63 whole data frames of the module's stream; the last one's tail is dropped.
  std::string rows;
  for (std::uint64_t row = 0; row < 4; ++row) rows += Record(1000, 1, 1008 * row);
  EXPECT_TRUE(SameBytes(File("r.bin"), rows));
  const std::string log = File("r.wrn");
  EXPECT_TRUE(Holds(log, "Record length: 4000 bytes\n")) << log;
  std::vector<std::string> reopened;
  const std::regex line("Module closed and opened again before row (\\d+)");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
    reopened.push_back((*it)[1]);
  EXPECT_EQ(reopened, (std::vector<std::string>{"2", "3", "4"}));
  // The reopening is the log's news, not the console's.
  EXPECT_FALSE(Holds(r.out, "opened again")) << r.out;
  // The file is the matrix the restart tests read.
  ASSERT_EQ(Run({"m.bin", "/RESTARTS=20", "/RNDNOP"}).exit_code, 0);
  const ProgramResult tested =
      RunProgram(RNGACQ_CHECK_PROGRAM, {"--assess=restart", "--claim=7", "m.bin"}, dir.path().string());
  EXPECT_EQ(tested.exit_code, 0) << tested.out << tested.err;
  EXPECT_TRUE(Holds(tested.out, "restart tests: 20 restarts of 1000 samples of 8 bits")) << tested.out;
  EXPECT_TRUE(Holds(tested.out, "Validation: passed")) << tested.out;

  // Of two modules the one selected is the one opened again; the rows written before a module
  // that leaves stay.
  const ProgramResult two = Run({"s.bin", "/RESTARTS=2", "/SERIAL=SIM-00000002"}, "devices=2");
  ASSERT_EQ(two.exit_code, 0) << two.out;
  EXPECT_EQ(File("s.bin").size(), 2000u);
  const ProgramResult gone = Run({"g.bin", "/RESTARTS=5"}, "disconnect_after=2");
  EXPECT_EQ(gone.exit_code, 1) << gone.out;
  EXPECT_TRUE(SameBytes(File("g.bin"), Record(1000) + Record(1000, 1, 1008)));
}

// Under /RECONNECT a module that leaves is waited for and the record goes on from the module that
// returns: the destination holds exactly what each plug-in of the module gave, in order, and the
// log says where each gap is. The simulated module returns as if powered up: a stream of its own.
TEST_F(Acquisition, ARecordGoesOnThroughUnplugsAndReplugs) {
  const std::string sim = "disconnect_after=3,replug_after=500,time_divisor=100";
  // Three blocks from each plug-in, then a block and the remainder of 160 bytes.
  const std::string expected = Record(3 * 1984, 1) + Record(3 * 1984, 1 + sim::kReplugSeedStep) +
                               Record(3 * 1984, 1 + 2 * sim::kReplugSeedStep) +
                               Record(1984 + 160, 1 + 3 * sim::kReplugSeedStep);
  for (const bool piped : {true, false}) {
    SCOPED_TRACE(piped ? "standard output" : "data file");
    const ProgramResult r = piped ? Run({"/STDOUT", "/LEN=20000", "/RECONNECT", "x", "p"}, sim)
                                  : Run({"f.bin", "/LEN=20000", "/RECONNECT"}, sim);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(SameBytes(piped ? r.out : File("f.bin"), expected));
    const std::string log = File(piped ? "p.wrn" : "f.wrn");
    // The wait is the simulated module's time, which runs on the machine's clock: under load it
    // looks shorter than the 0.5 s of the unplug, never longer than that and one slice of 0.1 s.
    const std::regex gap(
        "\nWaiting for the module to return. Bytes delivered so far: (\\d+) bytes\n"
        "The module is back, the data and the health tests go on from byte (\\d+) \\(after a wait of "
        "(\\d+\\.\\d) s\\)");
    std::vector<std::string> gaps;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), gap); it != std::sregex_iterator(); ++it) {
      EXPECT_EQ((*it)[1], (*it)[2]) << log;
      EXPECT_LE(std::stod((*it)[3]), 0.6) << log;
      gaps.push_back((*it)[1]);
    }
    EXPECT_EQ(gaps, (std::vector<std::string>{"5952", "11904", "17856"})) << log;
    EXPECT_TRUE(Holds(log, "\nVerdict: pass")) << log;
  }
}

// The wait takes only the module it lost: another serial number that arrives is not taken, and a
// limit ends the wait with exit code 1, keeping what was delivered.
TEST_F(Acquisition, AReconnectWaitTakesOnlyTheSameModuleAndEndsAtItsLimit) {
  for (const std::string fault : {"", ",replug_after=200,replug_serial=SIM-99999999"}) {
    SCOPED_TRACE(fault.empty() ? "no module returns" : "another module arrives");
    const ProgramResult r =
        Run({"w.bin", "/LEN=20000", "/RECONNECT=2"}, "disconnect_after=2,time_divisor=100" + fault);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_TRUE(SameBytes(File("w.bin"), Record(2 * 1984)));
    EXPECT_TRUE(Holds(File("w.wrn"),
                      "\nWaiting for the module to return. Bytes delivered so far: 3968 bytes"
                      "\nNo module returned within 2 s"))
        << File("w.wrn");
  }
  // Without /RECONNECT the first failed exchange ends the run, as ever.
  const ProgramResult once =
      Run({"o.bin", "/LEN=20000"}, "disconnect_after=2,replug_after=1,time_divisor=100");
  EXPECT_EQ(once.exit_code, 1) << once.out;
  EXPECT_FALSE(Holds(once.out, "Waiting")) << once.out;
}

#ifndef _WIN32
// A signal, or a reader that leaves, ends a wait without limit at once.
TEST_F(Acquisition, ASignalOrTheReadersLeavingEndsTheWaitForTheModule) {
  for (const bool signal : {true, false}) {
    SCOPED_TRACE(signal ? "SIGINT" : "reader gone");
    auto p = Start({"/STDOUT", "/STREAM", "/RECONNECT"}, "disconnect_after=2");
    // The bytes before the gap go out as the wait begins.
    EXPECT_TRUE(SameBytes(p.Read(2 * 1984), Record(2 * 1984)));
    if (signal)
      p.Signal(SIGINT);
    else
      p.CloseOutput();
    const ProgramResult r = p.Finish();
    EXPECT_EQ(r.exit_code, signal ? 130 : 0) << r.err;
    EXPECT_TRUE(Holds(r.err, "Waiting for the module to return. Bytes delivered so far: 3968 bytes"))
        << r.err;
    EXPECT_TRUE(Holds(r.err, signal ? "Interrupted: the record ends after 3968 bytes"
                                    : "The reader closed standard output. Bytes delivered: 3968"))
        << r.err;
  }
}
#endif

TEST_F(Acquisition, EachOptionDoesWhatTheManualSays) {
  struct Row {
    const char* statement;
    std::vector<std::string> arguments;
    int exit_code = 0;
    std::vector<std::size_t> records = {};  // the sizes of the .bin files made
    std::string said = "";                  // in the first log, or on standard output without one
  };
  const Row rows[] = {
      {.statement = "/LEN=: the record length in bytes (default 10000)",
       .arguments = {"d.bin"},
       .records = {10000},
       .said = "Record length: 10000 bytes"},
      {.statement = "/LEN=0 keeps the current length",
       .arguments = {"d.bin", "/LEN=500", "/LEN=0"},
       .records = {500}},
      {.statement = "/LEN= without a number keeps the current length",
       .arguments = {"d.bin", "/LEN=500", "/LEN="},
       .records = {500}},
      {.statement = "options begin with - as well, in any case",
       .arguments = {"d.bin", "-len=700"},
       .records = {700}},
      {.statement = "/FILES=: the number of records, each in a file of its own",
       .arguments = {"d.bin", "/LEN=100", "/FILES=3"},
       .records = {100, 100, 100}},
      {.statement = "/FILES=0 keeps the current count",
       .arguments = {"d.bin", "/LEN=100", "/FILES=3", "/FILES=0"},
       .records = {100, 100, 100}},
      {.statement = "/FILES= without a number means 1",
       .arguments = {"d.bin", "/LEN=100", "/FILES=3", "/FILES="},
       .records = {100}},
      {.statement = "/RND, generator mode 07h, is the default",
       .arguments = {"d.bin", "/LEN=100"},
       .records = {100},
       .said = "Generator mode = 07h, RND_GEN\n"},
      {.statement = "/RNDNOP is generator mode 03h",
       .arguments = {"d.bin", "/LEN=100", "/RNDNOP"},
       .records = {100},
       .said = "Generator mode = 03h, RND_TST\n"},
      {.statement = "/ENTROPY= defaults to 8 with /RND",
       .arguments = {"d.bin", "/LEN=100"},
       .records = {100},
       .said = "Repetition count test (claimed min-entropy 8)"},
      {.statement = "/ENTROPY= defaults to 1 with /RNDNOP",
       .arguments = {"d.bin", "/LEN=100", "/RNDNOP"},
       .records = {100},
       .said = "Repetition count test (claimed min-entropy 1)"},
      {.statement = "/ENTROPY= takes 1 to 8",
       .arguments = {"d.bin", "/LEN=100", "/ENTROPY=8"},
       .records = {100},
       .said = "(claimed min-entropy 8)"},
      {.statement = "/ENTROPY= above 8 is refused",
       .arguments = {"d.bin", "/ENTROPY=8.5"},
       .exit_code = 1,
       .said = "Unrecognised option \"/ENTROPY=8.5\""},
      {.statement = "an unknown option is refused, quoted",
       .arguments = {"/BOGUS"},
       .exit_code = 1,
       .said = "Unrecognised option \"/BOGUS\""},
      {.statement = "a negative /LEN= is refused",
       .arguments = {"/LEN=-1"},
       .exit_code = 1,
       .said = "\"/LEN=-1\""},
      {.statement = "a negative /FILES= is refused",
       .arguments = {"/FILES=-2"},
       .exit_code = 1,
       .said = "\"/FILES=-2\""},
      {.statement = "a name of 256 characters is refused",
       .arguments = {std::string(256, 'n')},
       .exit_code = 1},
      {.statement = "a data file that would be its own log is refused",
       .arguments = {"x.wrn"},
       .exit_code = 1,
       .said = "The data file would be its own log: \"x.wrn\""},
      {.statement = "/RESTARTS without a number takes 1000 rows of 1000 bytes",
       .arguments = {"d.bin", "/RESTARTS"},
       .records = {1000000},
       .said = "Record length: 1000000 bytes"},
      {.statement = "/RESTARTS= takes 1 to 1000000 rows",
       .arguments = {"d.bin", "/RESTARTS=0"},
       .exit_code = 1,
       .said = "Unrecognised option \"/RESTARTS=0\""},
      {.statement = "/RESTARTS= above 1000000 is refused",
       .arguments = {"d.bin", "/RESTARTS=1000001"},
       .exit_code = 1,
       .said = "Unrecognised option \"/RESTARTS=1000001\""},
      {.statement = "/VERSION prints the version on a line of its own and ends",
       .arguments = {"d.bin", "/VERSION"},
       .said = "\nrngacq " RNGACQ_VERSION "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.statement);
    for (const std::string& name : Made()) fs::remove(dir / name);
    const ProgramResult result = Run(row.arguments);
    EXPECT_EQ(result.exit_code, row.exit_code) << result.out;
    std::vector<std::size_t> records;
    for (const std::string& name : Made(R"(.*\.bin)")) records.push_back(File(name).size());
    EXPECT_EQ(records, row.records);
    const std::vector<std::string> logs = Made(R"(.*\.wrn)");
    const std::string said = logs.empty() ? result.out : File(logs.front());
    EXPECT_TRUE(Holds(said, row.said));
  }
}

}  // namespace
