#include "app/run.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/data_sink.h"
#include "app/progress.h"
#include "console/catalogue.h"
#include "console/output.h"
#include "devicelink/block_request.h"
#include "devicelink/device_link.h"
#include "platform/platform.h"
#include "quality/checker.h"
#include "quality/picture.h"
#include "quality/report.h"

namespace app {
namespace {

constexpr std::uint32_t kMinimumFileMs = 1100;
constexpr const char* kSeparator = "\n----------------------------------------------------";
// An endless record reports what it has delivered after every this many bytes.
constexpr std::int64_t kSummaryInterval = std::int64_t{64} << 20;
// Health warnings shown as they happen; later ones are only counted in the record's report.
constexpr std::uint64_t kWarningsShown = 8;
// The name that stands for standard output in a record's heading.
constexpr const char* kStandardOutputName = "-";

// How one record ended.
enum class RecordEnd { Complete, Failed, ReaderGone, Interrupted };

// The state of one run; one run per process.
struct Run {
  Run(console::WarningLogState& warning_log, usb::access::Provider& module_provider)
      : log(warning_log), provider(module_provider) {}
  console::WarningLogState& log;  // the program's
  usb::access::Provider& provider;
  std::unique_ptr<DataSink> sink;
  bool sink_failed = false;  // a write to the record's destination failed (and was reported)
  bool to_standard_output = false;
  std::int32_t index = 1;
  std::int32_t count = 1;
  std::int32_t remaining = 1;
  std::int64_t time_value = 0;
  std::string data_name;
  std::string log_name;
  bool log_created = false;       // the log at log_name was created by this run
  bool data_created = false;      // the data file at data_name did not exist before this run opened it
  std::int64_t record_bytes = 0;  // delivered in the current record
  std::int64_t total_bytes = 0;   // delivered in the whole run
  // The quality checks of the current record, fed every delivered byte after it was passed on.
  std::unique_ptr<quality::Checker> checker;
  std::uint32_t unchecked = 0;  // bytes of BlockBuffer passed on but not yet checked
  std::uint64_t warnings_shown = 0;
  bool failure_shown = false;
  bool picture = false;                     // /PICTURE, with a data file to stand beside
  std::vector<std::uint8_t> picture_bytes;  // the record's first bytes for the picture
  bool verdict_failed = false;              // some record's verdict was "fail"
  ProgressState progress;
  TimingState timing;
  devicelink::DeviceLinkState link;
};

std::string Entry(console::Msg message) {
  return console::ReadMessage(message);
}

// A time name never replaces an existing file: the next free value is taken instead.
std::int64_t FreeTimeValue(std::int64_t value) {
  while (platform::FileExists(TimeDataName(value)) || platform::FileExists(TimeLogName(value))) ++value;
  return value;
}

void UseTimeNames(Run& run, std::int64_t value) {
  run.time_value = FreeTimeValue(value);
  run.data_name = TimeDataName(run.time_value);
  run.log_name = TimeLogName(run.time_value);
}

bool OpenRecord(Run& run) {
  run.data_created = !run.to_standard_output && !platform::FileExists(run.data_name);
  if (run.sink->Open(run.data_name)) return true;
  console::PrintLogged(run.log, "\n%s %s", Entry(console::Msg::CannotCreateFile).c_str(),
                       run.data_name.c_str());
  return false;
}

bool CreateLog(Run& run) {
  // Only a file that did not exist is this run's to remove: never an older log, nor a device.
  const bool existed = platform::FileExists(run.log_name);
  if (run.log.file.Create(run.log_name)) {
    run.log_created = !existed;
    return true;
  }
  console::PrintLogged(run.log, "\n%s %s", Entry(console::Msg::CannotCreateFile).c_str(),
                       run.log_name.c_str());
  // Nothing was written yet: a data file this run made would be left behind empty.
  if (run.data_created && run.sink->Close()) platform::DeleteFile(run.data_name);
  run.data_created = false;
  return false;
}

// A data file that cannot take its bytes means lost data: say so, naming the file.
RecordEnd ReportWriteFailure(const Run& run) {
  console::PrintLogged(run.log, "\n%s %s", Entry(console::Msg::WriteFailed).c_str(), run.data_name.c_str());
  return RecordEnd::Failed;
}

void CloseLog(Run& run) {
  console::WarningLogState& log = run.log;
  log.file.Close();
  // Only a log this run made, and that is still empty, is removed; never an older file.
  if (run.log_created && log.LoggedBytes == 0) platform::DeleteFile(run.log_name);
  run.log_created = false;
}

// Report labels from the catalogue, the built-in text where it has none.
std::string Label(std::string_view key) {
  std::string text = console::ReadMessage(quality::kLabelSection, key);
  return text.empty() ? quality::DefaultLabel(key) : text;
}

void OnHealthEvent(Run& run, const quality::HealthEvent& event) {
  // The first failure ends the run; what its block shows after it is not news.
  if (run.failure_shown) return;
  if (event.level == quality::HealthLevel::Failure) run.failure_shown = true;
  if (event.level == quality::HealthLevel::Warning && run.warnings_shown++ >= kWarningsShown) return;
  console::PrintLogged(run.log, "\n%s", quality::HealthEventLine(event, Label).c_str());
}

double EntropyClaim(const RunSettings& settings) {
  if (settings.EntropyClaim != 0) return settings.EntropyClaim;
  return settings.GeneratorMode == 3 ? 1 : 8;  // without post-processing far less is certain
}

void StartChecks(Run& run, const RunSettings& settings) {
  run.checker = std::make_unique<quality::Checker>(
      EntropyClaim(settings), [&run](const quality::HealthEvent& event) { OnHealthEvent(run, event); });
  run.warnings_shown = 0;
  run.failure_shown = false;
  run.picture_bytes.clear();
}

void FeedChecks(Run& run, const std::uint8_t* data, std::size_t size) {
  run.checker->Feed(data, size);
  if (run.picture && run.picture_bytes.size() < quality::kPictureBytes) {
    const std::size_t taken = std::min(size, quality::kPictureBytes - run.picture_bytes.size());
    run.picture_bytes.insert(run.picture_bytes.end(), data, data + taken);
  }
}

// The health tests' counts so far, for an endless record's summaries.
void PrintHealthSummary(const Run& run) {
  const quality::Results results = run.checker->Finish();
  const auto counts = [](const quality::HealthResult& h) {
    return console::Format("%s %" PRIu64 ", %s %" PRIu64, Label("S030").c_str(), h.warnings,
                           Label("S020").c_str(), h.failures);
  };
  console::PrintLogged(run.log, "\n%s: %s; %s: %s; %s: %s", Label("S027").c_str(),
                       counts(results.rct).c_str(), Label("S028").c_str(), counts(results.apt).c_str(),
                       Label("S041").c_str(), counts(results.repeat).c_str());
}

// The picture is beside the data file; a picture that cannot be written costs no data.
void WritePicture(const Run& run, const quality::Results& results) {
  const std::string name = WithExtension(run.data_name, ".png");
  // A data file named "x.png" (or "x.PNG" where case does not count) would be overwritten.
  const bool is_data_file = std::equal(name.begin(), name.end(), run.data_name.begin(), run.data_name.end(),
                                       [](char a, char b) { return (a | 0x20) == (b | 0x20); });
  const std::vector<std::uint8_t> png =
      quality::PicturePng(run.picture_bytes.data(), run.picture_bytes.size(), results.histogram,
                          quality::CaptionOf(run.data_name, results));
  platform::DataFile file;
  const bool written = !is_data_file && !png.empty() && file.Open(name) && file.Write(png.data(), png.size());
  if (!file.Close() || !written) {
    console::PrintLogged(run.log, "\n%s %s", Entry(console::Msg::CannotCreateFile).c_str(), name.c_str());
  }
}

// The record's report, its verdict last, into its log and on the console.
void ReportQuality(Run& run) {
  const quality::Results results = run.checker->Finish();
  for (const std::string& line : quality::ReportLines(results, Label)) {
    console::PrintLogged(run.log, "\n%s", line.c_str());
  }
  if (results.verdict == quality::Verdict::Fail) run.verdict_failed = true;
  if (run.picture) WritePicture(run, results);
}

void PrintByteCount(Run& run, console::Msg message, std::int64_t bytes) {
  console::PrintLogged(run.log, "\n%s %" PRId64 " %s", Entry(message).c_str(), bytes,
                       Entry(console::Msg::Bytes).c_str());
}

// The separator before each record never stands in a log: in file mode none is open then, and
// the one log of a stream run keeps to the records' own lines.
void PrintSeparator() {
  console::PrintWide("%s", kSeparator);
}

void ReportStreamsLeftOpen() {
  const int closed = platform::DataFile::CloseAll();
  if (closed != 0) {
    console::PrintWide("\n%s %u\n", Entry(console::Msg::StreamsLeftOpen).c_str(),
                       static_cast<unsigned>(closed));
  }
}

// The tail of every ending.
std::int32_t Finish(std::int32_t exit_code) {
  console::PrintWide("\n");
  ReportStreamsLeftOpen();
  platform::RestorePriority();
  return exit_code;
}

// The endings without a key prompt: complete, the reader gone (exit 0), or interrupted.
std::int32_t EndWithoutPrompt(Run& run, std::int32_t exit_code) {
  devicelink::CloseDeviceLink(run.link);
  CloseLog(run);
  return Finish(exit_code);
}

std::int32_t ErrorEnding(Run* run) {
  if (run != nullptr) {
    devicelink::CloseDeviceLink(run->link);
    run->sink->Close();
    CloseLog(*run);
  }
  // Nobody waits at a prompt for a run that was asked to stop.
  if (platform::InterruptionCode() == 0) WaitForKey();
  return Finish(1);
}

// Counts what reached the destination and tells how the record goes on.
RecordEnd Count(Run& run, DataSink::Outcome outcome, std::size_t written) {
  run.record_bytes += static_cast<std::int64_t>(written);
  run.total_bytes += static_cast<std::int64_t>(written);
  switch (outcome) {
    case DataSink::Outcome::Done:
      return RecordEnd::Complete;
    case DataSink::Outcome::ReaderGone:
      return RecordEnd::ReaderGone;
    case DataSink::Outcome::Failed:
      break;
  }
  run.sink_failed = true;
  return ReportWriteFailure(run);
}

// The block passed on last is checked once, while the next block's transfers are on the bus or
// when the record ends, so that the checks add nothing to a block's round trip.
void CheckDelivered(Run& run) {
  if (run.unchecked != 0) FeedChecks(run, run.link.BlockBuffer.data(), std::exchange(run.unchecked, 0));
}

// Every delivered block passes here, in order, on its way to the record's destination.
RecordEnd Deliver(Run& run, std::uint32_t length) {
  std::size_t written = 0;
  const DataSink::Outcome outcome = run.sink->Write(run.link.BlockBuffer.data(), length, written);
  run.unchecked = length;
  return Count(run, outcome, written);
}

// What the sink still holds was delivered by the module: it goes out however the record ended
// (an interrupted record stays interrupted), unless the destination itself failed or its reader left.
RecordEnd FlushSink(Run& run, RecordEnd end) {
  if (end == RecordEnd::ReaderGone || run.sink_failed) return end;
  std::size_t written = 0;
  const DataSink::Outcome outcome = run.sink->Flush(written);
  const RecordEnd flushed = Count(run, outcome, written);
  return flushed == RecordEnd::Failed || end == RecordEnd::Complete ? flushed : end;
}

core::Selector ModuleSelector(const RunSettings& settings);

// The run's selection narrowed to the module opened now, by its serial number when it has one.
core::Selector SameModule(const Run& run, const RunSettings& settings) {
  core::Selector selector = ModuleSelector(settings);
  const std::string serial = run.link.module->Info().serial;
  if (!serial.empty()) {
    selector.kind = core::Selector::Kind::Serial;
    selector.serial = serial;
  }
  return selector;
}

// The module closed and opened again, the same one when it has a serial number to tell it by.
bool Reopen(Run& run, const RunSettings& settings, std::int32_t row) {
  const core::Selector selector = SameModule(run, settings);
  const std::uint8_t mode = devicelink::GeneratorMode(run.link);
  devicelink::CloseDeviceLink(run.link);
  if (devicelink::OpenDeviceLink(run.link, run.provider, selector, mode, true) != 0) return false;
  console::WriteToLog(
      run.log, console::Format("\n%s %d", Entry(console::Msg::Reopened).c_str(), static_cast<int>(row + 1)));
  return true;
}

// The waits of /RECONNECT: each slice looks at signals and the reader, each poll at the bus.
constexpr std::uint32_t kWaitSliceMs = 100;
constexpr std::int64_t kPollMs = 1000;

// The module the selection picks is attached: the one with its serial number, or the only one.
bool ModuleReturned(usb::access::Provider& provider, const core::Selector& selector) {
  if (selector.kind != core::Selector::Kind::Serial) return provider.CountDevices(selector.ids) == 1;
  std::vector<core::ModuleInfo> modules;
  core::ListModules(provider, modules, selector.ids);
  return std::any_of(modules.begin(), modules.end(),
                     [&](const core::ModuleInfo& m) { return m.serial == selector.serial; });
}

// /RECONNECT: the module left or stopped answering. What was delivered goes out first; then the
// module is closed and waited for until the same selection picks it again, a signal or the
// reader's leaving ends the wait, or its limit passes. The data go on from the same offset.
RecordEnd AwaitModule(Run& run, const RunSettings& settings) {
  const RecordEnd flushed = FlushSink(run, RecordEnd::Complete);
  if (flushed != RecordEnd::Complete) return flushed;
  PrintByteCount(run, console::Msg::AwaitingModule, run.record_bytes);
  const core::Selector selector = SameModule(run, settings);
  const std::uint8_t mode = devicelink::GeneratorMode(run.link);
  devicelink::CloseDeviceLink(run.link);
  const std::int64_t limit_ms = settings.ReconnectLimit * 1000;
  std::int64_t waited_ms = 0;
  for (std::int64_t since_poll = kPollMs;; waited_ms += kWaitSliceMs, since_poll += kWaitSliceMs) {
    if (platform::InterruptionCode() != 0) return RecordEnd::Interrupted;
    if (run.to_standard_output && platform::StandardOutputReaderGone()) return RecordEnd::ReaderGone;
    if (since_poll >= kPollMs) {
      since_poll = 0;
      if (ModuleReturned(run.provider, selector) &&
          devicelink::OpenDeviceLink(run.link, run.provider, selector, mode, true) == 0)
        break;
    }
    if (limit_ms > 0 && waited_ms >= limit_ms) {
      console::PrintLogged(run.log, "\n%s %" PRId64 " s", Entry(console::Msg::NotBack).c_str(),
                           settings.ReconnectLimit);
      return RecordEnd::Failed;
    }
    if (run.provider.AwaitArrival(kWaitSliceMs)) since_poll = kPollMs;
  }
  run.checker->RestartHealth();
  console::PrintLogged(run.log, "\n%s %" PRId64 " (%s %.1f s)", Entry(console::Msg::ModuleBack).c_str(),
                       run.record_bytes, Entry(console::Msg::AfterWaitOf).c_str(),
                       static_cast<double>(waited_ms) / 1000);
  return RecordEnd::Complete;
}

// One block requested and delivered; stops first when the run was interrupted. A stuck source
// seen in the block before stops the run as a failed request does, without passing this one on;
// its message came from the health tests. Under /RECONNECT a failed exchange is followed by the
// wait for the module, and the block is requested again from it.
RecordEnd NextBlock(Run& run, const RunSettings& settings, std::uint32_t length, int is_last) {
  for (;;) {
    if (platform::InterruptionCode() != 0) return RecordEnd::Interrupted;
    const std::int32_t result =
        devicelink::RequestBlock(run.link, length, is_last, [&run] { CheckDelivered(run); });
    CheckDelivered(run);
    if (run.checker->Failed()) return RecordEnd::Failed;
    if (result == 0) return Deliver(run, length);
    if (result != devicelink::kExchangeFailed || !settings.Reconnect) return RecordEnd::Failed;
    const RecordEnd waited = AwaitModule(run, settings);
    if (waited != RecordEnd::Complete) return waited;
  }
}

// Restart data: one row per opening of the module. The row before is checked before the module
// (and the block buffer with it) goes.
RecordEnd RequestRows(Run& run, const RunSettings& settings) {
  ShowProgress(run.progress, kProgressStart, settings.Restarts);
  for (std::int32_t row = 0; row < settings.Restarts; ++row) {
    ShowProgress(run.progress, kProgressUpdate, row);
    if (row > 0 || run.index > 1) {  // every row but the run's first
      CheckDelivered(run);
      if (!Reopen(run, settings, row)) return RecordEnd::Failed;
    }
    const RecordEnd end = NextBlock(run, settings, static_cast<std::uint32_t>(kRestartRow), 1);
    if (end != RecordEnd::Complete) return end;
  }
  return RecordEnd::Complete;
}

RecordEnd RequestBlocks(Run& run, const RunSettings& settings) {
  if (settings.Restarts > 0) return RequestRows(run, settings);
  if (settings.Endless) {
    for (;;) {
      const std::int64_t before = run.record_bytes;
      const RecordEnd end = NextBlock(run, settings, devicelink::kBlockSize, 0);
      if (end != RecordEnd::Complete) return end;
      if (run.record_bytes / kSummaryInterval != before / kSummaryInterval) {
        CheckDelivered(run);
        PrintByteCount(run, console::Msg::Delivered, run.record_bytes);
        PrintHealthSummary(run);
      }
    }
  }
  const std::int64_t full_blocks = settings.RecordLength / devicelink::kBlockSize;
  const std::int64_t remainder = settings.RecordLength % devicelink::kBlockSize;
  ShowProgress(run.progress, kProgressStart, full_blocks);
  for (std::int64_t i = 0; i < full_blocks; ++i) {
    ShowProgress(run.progress, kProgressUpdate, i);
    const RecordEnd end = NextBlock(run, settings, devicelink::kBlockSize, 0);
    if (end != RecordEnd::Complete) return end;
  }
  // A negative remainder's low 32 bits exceed the block size, and the request refuses them.
  if (remainder != 0) return NextBlock(run, settings, static_cast<std::uint32_t>(remainder), 1);
  return RecordEnd::Complete;
}

// The blocks of one record: its full blocks and remainder, or blocks without end; every block
// passed on is checked before the record ends.
RecordEnd TransferBlocks(Run& run, const RunSettings& settings) {
  const RecordEnd end = RequestBlocks(run, settings);
  CheckDelivered(run);
  return end == RecordEnd::Complete && run.checker->Failed() ? RecordEnd::Failed : end;
}

// One record, from its heading to its destination closed; the file's log too, in file mode.
RecordEnd WriteOneRecord(Run& run, const RunSettings& settings) {
  if (!run.to_standard_output && !CreateLog(run)) return RecordEnd::Failed;

  console::PrintLogged(run.log, "\n\n%s(%d/%d): %s", Entry(console::Msg::DataFile).c_str(), run.index,
                       run.count, run.data_name.c_str());
  const std::string length_label = Entry(console::Msg::RecordLength);
  if (settings.Endless) {
    console::PrintLogged(run.log, "\n%s %s", length_label.c_str(), Entry(console::Msg::Endless).c_str());
  } else {
    console::PrintLogged(run.log, "\n%s %" PRId64 " %s", length_label.c_str(), settings.RecordLength,
                         Entry(console::Msg::Bytes).c_str());
  }
  // The mode is the module's, the one its blocks are requested in.
  const std::uint8_t mode = devicelink::GeneratorMode(run.link);
  console::PrintLogged(run.log, "\n%s = %02Xh, %s", Entry(console::Msg::GeneratorMode).c_str(), mode,
                       ModeLabel(mode));
  console::PrintWide(" ...");

  if (TimeAcquisition(run.timing, kTimingStart, 0, nullptr) != 0) return RecordEnd::Failed;
  run.record_bytes = 0;
  StartChecks(run, settings);
  if (run.picture) run.picture_bytes.reserve(quality::kPictureBytes);
  const RecordEnd end = FlushSink(run, TransferBlocks(run, settings));
  if (end == RecordEnd::Failed) return end;
  if (end == RecordEnd::Complete) ShowProgress(run.progress, kProgressFinish, 0);
  console::PrintWide("\n");

  if (TimeAcquisition(run.timing, kTimingStop, 0, nullptr) != 0) return RecordEnd::Failed;
  if (settings.Endless) {
    PrintByteCount(run, console::Msg::Delivered, run.record_bytes);
    PrintHealthSummary(run);
  }
  if (end == RecordEnd::Interrupted) PrintByteCount(run, console::Msg::InterruptedAfter, run.record_bytes);
  if (end == RecordEnd::ReaderGone) {
    console::PrintLogged(run.log, "\n%s %" PRId64, Entry(console::Msg::ReaderLeft).c_str(), run.total_bytes);
  }
  std::uint32_t elapsed_ms = 0;
  TimeAcquisition(run.timing, kTimingReport, run.record_bytes, &run.log, &elapsed_ms);
  ReportQuality(run);

  if (!run.sink->Close()) return ReportWriteFailure(run);
  if (run.to_standard_output) return end;
  CloseLog(run);

  if (end == RecordEnd::Complete && elapsed_ms < kMinimumFileMs && run.remaining > 1) {
    platform::SleepMs(kMinimumFileMs);
  }
  return end;
}

core::Selector ModuleSelector(const RunSettings& settings) {
  core::Selector selector;
  selector.ids = settings.ModuleIds;
  if (!settings.Serial.empty()) {
    selector.kind = core::Selector::Kind::Serial;
    selector.serial = settings.Serial;
  }
  return selector;
}

}  // namespace

std::int32_t ListModules(const RunSettings& settings, usb::access::Provider& provider) {
  std::vector<core::ModuleInfo> modules;
  const core::Error error = core::ListModules(provider, modules, settings.ModuleIds);
  for (std::size_t i = 0; i < modules.size(); ++i) {
    const core::ModuleInfo& m = modules[i];
    console::PrintWide("\n%u  %04x:%04x  %s  %s  %s", static_cast<unsigned>(i),
                       static_cast<unsigned>(m.id.vendor), static_cast<unsigned>(m.id.product),
                       m.high_speed ? "USB 2.0" : "USB 1.1", m.serial.c_str(), m.product.c_str());
  }
  if (modules.empty()) console::PrintMessageLine(console::Msg::NoModule);
  console::PrintWide("\n");
  platform::RestorePriority();
  return error == core::Error::None ? 0 : 1;
}

std::int32_t RunAcquisition(const RunSettings& settings, usb::access::Provider& provider,
                            console::WarningLogState& log) {
  Run run(log, provider);
  run.count = settings.FileCount;
  run.remaining = settings.FileCount;
  run.to_standard_output = settings.ToStandardOutput;
  run.picture = settings.Picture && !run.to_standard_output;
  run.sink = run.to_standard_output ? MakeStandardOutputSink() : MakeFileSink();
  if (run.to_standard_output) {
    // No data file; one log for all records, and only when a second name named it.
    run.data_name = kStandardOutputName;
    if (settings.LogNameGiven) run.log_name = settings.LogFileName;
  } else if (settings.NamesFromCommandLine) {
    run.time_value = settings.TimeValue;
    run.data_name = settings.DataFileName;
    run.log_name = settings.LogFileName;
  } else {
    UseTimeNames(run, settings.TimeValue);
  }

  if (devicelink::OpenDeviceLink(run.link, provider, ModuleSelector(settings), settings.GeneratorMode) != 0)
    return ErrorEnding(&run);
  if (platform::InterruptionCode() != 0) return EndWithoutPrompt(run, platform::InterruptionCode());
  if (run.to_standard_output && !run.log_name.empty() && !CreateLog(run)) return ErrorEnding(&run);
  PrintSeparator();
  if (!OpenRecord(run)) return ErrorEnding(&run);

  for (;;) {
    switch (WriteOneRecord(run, settings)) {
      case RecordEnd::Failed:
        return ErrorEnding(&run);
      case RecordEnd::ReaderGone:  // Ctrl-C in a shell ends the reader too: still interrupted
      case RecordEnd::Interrupted:
        return EndWithoutPrompt(run, platform::InterruptionCode());
      case RecordEnd::Complete:
        break;
    }
    // A failed verdict fails the run, once every file is written.
    if (--run.remaining <= 0) return EndWithoutPrompt(run, run.verdict_failed ? 1 : 0);
    // The records after an interrupted one are not started.
    if (platform::InterruptionCode() != 0) return EndWithoutPrompt(run, platform::InterruptionCode());

    // Later files are named from the clock, strictly increasing even when it has not moved.
    if (!run.to_standard_output) {
      const std::int64_t now = platform::CurrentTime();
      UseTimeNames(run, now > run.time_value ? now : run.time_value + 1);
    }
    ++run.index;
    PrintSeparator();
    if (!OpenRecord(run)) return ErrorEnding(&run);
  }
}

std::int32_t EndWithoutRun() {
  return ErrorEnding(nullptr);
}

}  // namespace app
