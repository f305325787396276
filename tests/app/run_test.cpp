// The run against the simulated module, in process: files, logs, output, names, pauses, progress, endings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "app/command_line.h"
#include "app/progress.h"
#include "app/run.h"
#include "console/catalogue.h"
#include "console/output.h"
#include "devicelink/block_request.h"
#include "devicelink/device_link.h"
#include "drivers/sim/sim_driver.h"
#include "support/test_support.h"
#include "usb/device.h"
#include "usb/vendor_provider.h"

#ifndef _WIN32
#include <unistd.h>
#else
#include "platform/windows/win32.h"
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::Holds;
using testing_support::ReadFile;
using testing_support::SameBytes;

const std::string kSeparator = "\n" + std::string(52, '-');

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_directory = fs::current_path();
    fs::current_path(dir.path());
    testing_support::WriteFile(
        "lang.INI",
        "[F001]\nS001=No counter\nS002=Time\nS004=ms\nS005=rate\nS006=B/s\n[F002]\nS002=cannot create\n"
        "S003=File\nS004=Length\nS005=bytes\nS006=Mode\nS012=write failed\n[F006]\nS002=no module\n"
        "S005=Module: ;\nS006=driver\nS010=receive timed out\nS015=bad status\n[F007]\nS001=press a key\n");
    console::SetCataloguePath((dir.path() / "lang.INI").string());
    auto& hooks = platform::Hooks();
    hooks.query_frequency = [](std::int64_t& f) { return f = 1000000, true; };
    hooks.query_counter = [this](std::int64_t& t) { return t = (ticks += tick_step), true; };
    hooks.current_time = [this] { return clock; };
    hooks.sleep_ms = [this](std::uint32_t ms) { sleeps.push_back(ms); };
  }
  void TearDown() override { fs::current_path(previous_directory); }

  std::int32_t Run(app::RunSettings settings, sim::Options options = {}) {
    console.out.clear();
    console.direct.clear();
    sleeps.clear();
    driver = std::make_unique<sim::SimDriver>(std::move(options));
    usb::VendorDriverProvider provider(*driver);
    return app::RunAcquisition(settings, provider, warning_log);
  }

  static app::RunSettings Named(const std::string& name, std::int64_t length, std::int32_t files = 1,
                                const std::string& log = "") {
    app::RunSettings settings;
    settings.RecordLength = length;
    settings.FileCount = files;
    settings.DataFileName = name;
    settings.LogFileName = log.empty() ? app::DeriveLogName(name) : log;
    settings.NamesFromCommandLine = !name.empty();
    settings.TimeValue = 0x5F000000;
    return settings;
  }

  static std::string Record(std::uint64_t offset, std::int64_t length) {
    const auto bytes = sim::ExpectedRecord(1, offset, length);
    return std::string(bytes.begin(), bytes.end());
  }

  fs::path previous_directory;
  testing_support::ScratchDir dir;
  testing_support::CapturedConsole console;
  std::unique_ptr<sim::SimDriver> driver;
  console::WarningLogState warning_log;  // the program's, kept by the test
  std::int64_t ticks = 0;
  std::int64_t tick_step = 123000;  // counter ticks (of a microsecond) per reading
  std::int64_t clock = 0x5F000000;
  std::vector<std::uint32_t> sleeps;
};

TEST_F(RunTest, OneRecordWithItsLogProgressAndReport) {
  ASSERT_EQ(Run(Named("data.bin", 10000)), 0);
  EXPECT_TRUE(SameBytes(ReadFile("data.bin"), Record(0, 10000)));
  const std::string logged =
      "\n\nFile(1/1): data.bin\nLength 10000 bytes\nMode = 07h, RND_GEN\nTime= 123 ms (00:00:00,123), "
      "rate=81301 B/s";
  // The quality report follows, its verdict last.
  const std::string log = ReadFile("data.wrn");
  const std::string log_start = logged + "\nBytes: 10000\n";
  EXPECT_EQ(log.substr(0, log_start.size()), log_start);
  EXPECT_TRUE(log.ends_with("\nVerdict: pass")) << log;
  EXPECT_EQ(warning_log.LoggedBytes, log.size());
  // The module's line, then its details up to its serial number, then the record's report.
  const std::string module_line = "\nModule: USB 2.0;driver 1.5.5.0;\n";
  EXPECT_EQ(console.out.substr(0, module_line.size()), module_line);
  const std::string serial_number = ";SerialNumber=SIM-00000001";
  const std::size_t serial_number_at = console.out.find(serial_number);
  ASSERT_NE(serial_number_at, std::string::npos) << console.out;
  EXPECT_EQ(console.out.substr(serial_number_at + serial_number.size()),
            kSeparator + "\n\nFile(1/1): data.bin\nLength 10000 bytes\nMode = 07h, RND_GEN ...\n" +
                "\nTime= 123 ms (00:00:00,123), rate=81301 B/s" + log.substr(logged.size()) + "\n");
  EXPECT_EQ(console.direct, "  0%\b\b\b\b 20%\b\b\b\b 40%\b\b\b\b 60%\b\b\b\b 80%\b\b\b\b  OK ");
  EXPECT_EQ(console.keys_read, 0);
  EXPECT_TRUE(sleeps.empty());

  // Whole blocks; a last part of one frame or less; less than a block (its indicator shows no percentage).
  for (const std::int64_t length : {2 * 1984, 1984 + 1, 1984 + 16, 1000}) {
    ASSERT_EQ(Run(Named("tail.bin", length)), 0);
    EXPECT_TRUE(SameBytes(ReadFile("tail.bin"), Record(0, length))) << length;
  }
  EXPECT_EQ(console.direct, "  OK ");
}

TEST_F(RunTest, LaterFilesTakeFreeStrictlyIncreasingTimeNames) {
  // The clock stands still, and an earlier run left the log of the first time name behind.
  testing_support::WriteFile("5F000000.wrn", "earlier");
  ASSERT_EQ(Run(Named("", 3000, 3)), 0);
  EXPECT_EQ(ReadFile("5F000000.wrn"), "earlier");
  // Each record starts after the whole frames of the one before.
  EXPECT_TRUE(SameBytes(ReadFile("5F000001.bin"), Record(0, 3000)));
  EXPECT_TRUE(SameBytes(ReadFile("5F000002.bin"), Record(3008, 3000)));
  EXPECT_TRUE(SameBytes(ReadFile("5F000003.bin"), Record(6016, 3000)));
  EXPECT_TRUE(Holds(ReadFile("5F000002.wrn"), "(2/3): 5F000002.bin"));
  EXPECT_EQ(sleeps, (std::vector<std::uint32_t>{1100, 1100}));
  EXPECT_TRUE(Holds(console.out, kSeparator + "\n\nFile(1/3)"));

  // A name from the command line serves the first file only.
  ASSERT_EQ(Run(Named("given%s.bin", 100, 2)), 0);
  EXPECT_TRUE(Holds(ReadFile("given%s.wrn"), "(1/2): given%s.bin\n"));
  EXPECT_TRUE(SameBytes(ReadFile("given%s.bin"), Record(0, 100)));
  EXPECT_TRUE(SameBytes(ReadFile("5F000004.bin"), Record(112, 100)));

  // Files slower than the pause need no pause between them.
  tick_step = 2000000;
  ASSERT_EQ(Run(Named("slow.bin", 100, 2)), 0);
  EXPECT_TRUE(sleeps.empty());
}

TEST_F(RunTest, EndingsBeforeAnyDataLeaveOtherFilesAlone) {
  // No module: exit 1 after the prompt, and an earlier run's log of the same name survives.
  testing_support::WriteFile("old.wrn", "kept");
  EXPECT_EQ(Run(Named("old.bin", 10000), {.modules = {}}), 1);
  EXPECT_EQ(ReadFile("old.wrn"), "kept");
  EXPECT_FALSE(fs::exists("old.bin"));
  EXPECT_EQ(console.keys_read, 2);  // two keys: the no-module wait, then the key prompt

  // A log that cannot be created: the empty data file this run made goes; an older file stays.
  testing_support::WriteFile("older.bin", "x");
  for (const std::string name : {"made.bin", "older.bin"}) {
    EXPECT_EQ(Run(Named(name, 10000, 1, "missing/log.wrn")), 1);
    EXPECT_TRUE(Holds(console.out, "cannot create missing/log.wrn"));
    EXPECT_EQ(fs::exists(name), name == "older.bin");
  }
}

// RunTest draws a whole record's indicator; here are the edges.
TEST(ShowProgress, EachPercentageOnceWideDrawingsAndHugeTotals) {
  testing_support::CapturedConsole console;
  app::ProgressState progress;
  const auto draw = [&](std::initializer_list<std::pair<int, std::int64_t>> calls) {
    console.direct.clear();
    for (const auto& [phase, value] : calls) app::ShowProgress(progress, phase, value);
    return console.direct;
  };
  app::ShowProgress(progress, app::kProgressStart, 1000);
  for (int i = 0; i < 1000; ++i) app::ShowProgress(progress, app::kProgressUpdate, i);
  EXPECT_EQ(std::count(console.direct.begin(), console.direct.end(), '%'), 100);
  EXPECT_TRUE(console.direct.ends_with(" 99%")) << console.direct;
  EXPECT_EQ(draw({{app::kProgressStart, 0}, {9, 1}, {app::kProgressFinish, 0}}), "  OK ");  // 9: not a phase
  // The whole is never drawn as 100 %: the mark that follows says it.
  EXPECT_EQ(draw({{app::kProgressStart, 5}, {app::kProgressUpdate, 5}, {app::kProgressFinish, 0}}), "  OK ");
  // A drawing wider than the mark is blanked out.
  EXPECT_EQ(draw({{app::kProgressStart, 5}, {app::kProgressUpdate, 500}, {app::kProgressFinish, 0}}),
            "10000%\b\b\b\b\b\b  OK  ");
  // Totals too large to multiply by 100 in 64 bits still give the right percentage.
  EXPECT_EQ(draw({{app::kProgressStart, INT64_MAX / 10}, {app::kProgressUpdate, INT64_MAX / 10 - 1}}),
            " 99%");
  EXPECT_TRUE(console.out.empty());
}

// Timing: hours past a day, no rate under a millisecond, the logged form only in the log, no counter.
TEST_F(RunTest, TimingReportsAndCounterFailures) {
  app::TimingState timing;
  console::WarningLogState x_log;
  std::uint32_t elapsed = 0;
  const auto report = [&](std::int64_t step, std::int64_t bytes, bool logged = false) {
    tick_step = step;
    console.out.clear();
    EXPECT_EQ(app::TimeAcquisition(timing, app::kTimingStart, 0, nullptr), 0);
    EXPECT_EQ(app::TimeAcquisition(timing, app::kTimingStop, 0, nullptr), 0);
    EXPECT_EQ(app::TimeAcquisition(timing, app::kTimingReport, bytes, logged ? &x_log : nullptr, &elapsed),
              0);
    return std::tuple(console.out, elapsed);
  };
  EXPECT_EQ(report(3723456000, 0), std::tuple("\nTime= 3723456 ms (01:02:03,456)", 3723456u));
  EXPECT_EQ(report(90000000000, 0), std::tuple("\nTime= 90000000 ms (25:00:00,000)", 90000000u));
  EXPECT_EQ(report(999, 10000), std::tuple("\nTime= 0 ms (00:00:00,000)", 0u));
  ASSERT_TRUE(x_log.file.Create("x.wrn"));
  report(123000, 10000, false);
  EXPECT_EQ(report(2000, 1, true), std::tuple("\nTime= 2 ms (00:00:00,002), rate=500 B/s", 2u));
  x_log.file.Close();
  EXPECT_EQ(ReadFile("x.wrn"), "\nTime= 2 ms (00:00:00,002), rate=500 B/s");

  platform::Hooks().query_counter = [](std::int64_t&) {
#ifdef _WIN32
    SetLastError(5);  // the system error code there is GetLastError's
#else
    errno = 5;
#endif
    return false;
  };
  console.out.clear();
  EXPECT_EQ(app::TimeAcquisition(timing, app::kTimingStart, 0, nullptr), 51);
  EXPECT_EQ(app::TimeAcquisition(timing, app::kTimingStop, 0, nullptr), 59);
  EXPECT_EQ(console.out, "\nNo counter 5No counter 5\n");

  // Frequency, whether given, ticks, ms: a frequency not a multiple of 1000 drops the fraction of a tick
  // per ms; results are cut to 32 bits; a frequency slower than a millisecond is unreadable.
  struct Row {
    std::int64_t frequency;
    bool given;
    std::int64_t ticks;
    std::uint32_t ms;
  };
  for (const Row& row : {Row{.frequency = 3579545, .given = true, .ticks = 35795450, .ms = 10001},
                         Row{.frequency = 1000, .given = true, .ticks = (std::int64_t{1} << 32) + 5, .ms = 5},
                         Row{.frequency = 999, .given = true, .ticks = 5000, .ms = 0},
                         Row{.frequency = 1000000, .given = false, .ticks = 5000000, .ms = 0}}) {
    SCOPED_TRACE(::testing::Message() << "frequency " << row.frequency << (row.given ? "" : ", not given"));
    platform::Hooks().query_frequency = [=](std::int64_t& f) { return f = row.frequency, row.given; };
    EXPECT_EQ(app::ElapsedMilliseconds(row.ticks), row.ms);
  }
}

#ifndef _WIN32  // descriptors are taken away through /proc, and a dangling link blocks a name
// A module whose handle the system refuses to release.
struct UnreleasableDriver final : sim::SimDriver {
  bool Close(usb::Handle handle) override { return !SimDriver::Close(handle); }
};

TEST_F(RunTest, LateFailuresAndReleasesAreReportedWithWhatWasWritten) {
  // No counter at the start (nothing acquired) or the stop (record complete), or the data file's close
  // failing (the second reading takes its descriptor away): exit 1 after the prompt each time.
  int calls = 0, failing = 0;
  platform::Hooks().query_counter = [&](std::int64_t& t) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (calls == 1 && failing == 0 && fs::read_symlink(entry.path(), error).filename() == "record.bin")
        ::close(std::stoi(entry.path().filename()));
    }
    t = ++calls * 1000;
    return calls != failing;
  };
  for (const int fail : {1, 2, 0}) {
    calls = 0;
    failing = fail;
    SCOPED_TRACE(fail == 0   ? "the data file's close fails"
                 : fail == 1 ? "no counter at the start"
                             : "no counter at the stop");
    EXPECT_EQ(Run(Named("record.bin", 5000)), 1);
    EXPECT_TRUE(SameBytes(ReadFile("record.bin"), fail == 1 ? "" : Record(0, 5000)));
    EXPECT_EQ(console.keys_read, fail == 0 ? 3 : fail);
  }
  EXPECT_TRUE(Holds(console.out, "\nwrite failed record.bin"));

  // The second file's name cannot be created (a link into a missing folder): the first stays, exit 1.
  fs::create_symlink("missing/target", "5F000001.bin");
  EXPECT_EQ(Run(Named("first.bin", 100, 2)), 1);
  EXPECT_TRUE(SameBytes(ReadFile("first.bin"), Record(0, 100)));
  EXPECT_EQ(console.keys_read, 4);
  EXPECT_TRUE(Holds(console.out, kSeparator + "\ncannot create 5F000001.bin"));

  // A stream someone left open is closed at the end and counted.
  platform::DataFile stray;
  ASSERT_TRUE(stray.Open("stray.bin"));
  EXPECT_EQ(Run(Named("clean.bin", 100)), 0);
  EXPECT_FALSE(stray.IsOpen());
  EXPECT_TRUE(console.out.ends_with("\n 1\n")) << console.out;

  // A device the system will not release ends the program with exit 1, after the whole record.
  UnreleasableDriver unreleasable;
  usb::VendorDriverProvider over_unreleasable(unreleasable);
  console.out.clear();
  EXPECT_EQ(app::ProgramMain({(dir.path() / "rngacq").string(), "kept.bin", "/LEN=3000"}, &over_unreleasable),
            1);
  EXPECT_TRUE(Holds(console.out, "\nFailed to close handle to driver.\npress a key\n"));
  EXPECT_TRUE(SameBytes(ReadFile("kept.bin"), Record(0, 3000)));
  EXPECT_EQ(platform::DataFile::OpenCount(), 0);
}
#endif

// Each block is checked while the next is on the bus: once, after both transfers went out, before it changes.
TEST_F(RunTest, BlockRequestsDoTheirWorkWhileTheTransfersAreUnderWay) {
  driver = std::make_unique<sim::SimDriver>();
  usb::VendorDriverProvider provider(*driver);
  devicelink::DeviceLinkState link;
  ASSERT_EQ(devicelink::OpenDeviceLink(link, provider), 0);
  ASSERT_EQ(devicelink::RequestBlock(link, devicelink::kBlockSize, 0), 0);
  const auto first = link.BlockBuffer;
  const std::size_t submitted = driver->Requests().size() + 2;
  int calls = 0;
  const auto work = [&] {
    ++calls;
    EXPECT_EQ(driver->Requests().size(), submitted);
    EXPECT_TRUE(SameBytes(link.BlockBuffer, first)) << "the block changed before its work was done";
  };
  EXPECT_EQ(devicelink::RequestBlock(link, devicelink::kBlockSize, 0, work), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(SameBytes(link.BlockBuffer, sim::ExpectedRecord(1, 1984, 1984)));
  devicelink::CloseDeviceLink(link);
}

// Ctrl-C while the module is being opened ends the run there: no file is started, no key asked for.
TEST_F(RunTest, InterruptionWhileOpeningStartsNoFile) {
  struct InterruptedWhileOpening final : sim::SimDriver {
    usb::Handle Open(const std::string& path, usb::OpenFailure& failure) override {
      platform::RecordInterruption(130);
      return SimDriver::Open(path, failure);
    }
  } interrupting;
  usb::VendorDriverProvider provider(interrupting);
  const std::int32_t exit_code = app::RunAcquisition(Named("i.bin", 10000), provider, warning_log);
  platform::RecordInterruption(0);
  EXPECT_EQ(exit_code, 130);
  EXPECT_FALSE(fs::exists("i.bin"));
  EXPECT_FALSE(fs::exists("i.wrn"));
  EXPECT_EQ(console.keys_read, 0);
  EXPECT_EQ(interrupting.OpenHandles(), 0u) << "the module is closed again";
}

}  // namespace
