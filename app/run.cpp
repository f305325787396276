#include "app/run.h"

#include <cinttypes>
#include <string>

#include "app/command_line.h"
#include "app/progress.h"
#include "console/catalogue.h"
#include "console/output.h"
#include "platform/platform.h"
#include "protocol/block_request.h"
#include "protocol/device_link.h"

namespace app {
namespace {

constexpr std::uint32_t kMinimumFileMs = 1100;
constexpr const char* kSeparator = "\n----------------------------------------------------";

// The state of one run; one run per process.
struct Run {
  std::int32_t result = 0;
  platform::DataFile data;
  std::int32_t index = 1;
  std::int32_t count = 1;
  std::int32_t remaining = 1;
  std::int64_t time_value = 0;
  std::string data_name;
  std::string log_name;
  bool log_created = false;   // the log at log_name was created by this run
  bool data_created = false;  // the data file at data_name did not exist before this run opened it
};

std::string Entry(const char* section, const char* key) {
  return console::ReadMessage(section, key);
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

bool OpenDataFile(Run& run) {
  run.data_created = !platform::FileExists(run.data_name);
  if (run.data.Open(run.data_name)) return true;
  console::PrintLogged("\n%s %s", Entry("F002", "S002").c_str(), run.data_name.c_str());
  return false;
}

// A data file that cannot take its bytes means lost data: say so, naming the file.
bool ReportWriteFailure(const Run& run) {
  console::PrintLogged("\n%s %s", Entry("F002", "S012").c_str(), run.data_name.c_str());
  return false;
}

void CloseLog(Run& run) {
  console::WarningLogState& log = console::WarningLog();
  log.file.Close();
  // Only a log this run made, and that is still empty, is removed; never an older file.
  if (run.log_created && log.LoggedBytes == 0) platform::DeleteFile(run.log_name);
  run.log_created = false;
}

void ReportStreamsLeftOpen() {
  const int closed = platform::DataFile::CloseAll();
  if (closed != 0) {
    console::PrintWide("\n%s %u\n", Entry("F002", "S010").c_str(), static_cast<unsigned>(closed));
  }
}

std::int32_t NormalEnding() {
  protocol::CloseDeviceLink();
  console::PrintWide("\n");
  ReportStreamsLeftOpen();
  platform::RestorePriority();
  return 0;
}

std::int32_t ErrorEnding(Run* run) {
  protocol::CloseDeviceLink();
  if (run != nullptr) {
    if (run->data.IsOpen()) run->data.Close();
    CloseLog(*run);
  }
  WaitForKey();
  console::PrintWide("\n");
  ReportStreamsLeftOpen();
  platform::RestorePriority();
  return run != nullptr ? run->result : 0;
}

// One data file, from its log's creation to both files closed. False: take the error ending.
bool WriteOneFile(Run& run, const RunSettings& settings) {
  console::WarningLogState& log = console::WarningLog();
  if (!log.file.Create(run.log_name)) {
    console::PrintLogged("\n%s %s", Entry("F002", "S002").c_str(), run.log_name.c_str());
    // Nothing was written yet: a data file this run made would be left behind empty.
    if (run.data_created && run.data.Close()) platform::DeleteFile(run.data_name);
    return false;
  }
  run.log_created = true;

  console::PrintLogged("\n\n%s(%d/%d): %s", Entry("F002", "S003").c_str(), run.index, run.count,
                       run.data_name.c_str());
  const std::string length_label = Entry("F002", "S004");
  console::PrintLogged("\n%s %" PRId64 " %s", length_label.c_str(), settings.RecordLength,
                       Entry("F002", "S005").c_str());
  console::PrintLogged("\n%s = %02Xh,", Entry("F002", "S006").c_str(), protocol::GeneratorMode());
  console::PrintLogged(settings.ModeLabel == "RND_TST" ? " RND_TST" : " RND_GEN");
  console::PrintWide(" ...");

  const std::int64_t full_blocks = settings.RecordLength / protocol::kBlockSize;
  const std::int64_t remainder = settings.RecordLength % protocol::kBlockSize;
  ShowProgress(kProgressStart, full_blocks);
  if (TimeAcquisition(kTimingStart, 0, false) != 0) return false;

  const auto& block = protocol::BlockBuffer();
  for (std::int64_t i = 0; i < full_blocks; ++i) {
    ShowProgress(kProgressUpdate, i);
    if (protocol::RequestBlock(protocol::kBlockSize, 0) != 0) {
      run.result = 1;
      return false;
    }
    if (!run.data.Write(block.data(), protocol::kBlockSize)) {
      run.result = 1;
      return ReportWriteFailure(run);
    }
  }
  if (remainder != 0) {
    // A negative remainder's low 32 bits exceed the block size, and the request refuses them.
    const auto length = static_cast<std::uint32_t>(remainder);
    if (protocol::RequestBlock(length, 1) != 0) {
      run.result = 1;
      return false;
    }
    if (!run.data.Write(block.data(), length)) {
      run.result = 1;
      return ReportWriteFailure(run);
    }
  }
  ShowProgress(kProgressFinish, 0);
  console::PrintWide("\n");

  if (TimeAcquisition(kTimingStop, 0, false) != 0) return false;
  std::uint32_t elapsed_ms = 0;
  TimeAcquisition(kTimingReport, settings.RecordLength, true, &elapsed_ms);

  if (!run.data.Close()) {
    run.result = 1;
    return ReportWriteFailure(run);
  }
  CloseLog(run);

  if (elapsed_ms < kMinimumFileMs && run.remaining > 1) platform::SleepMs(kMinimumFileMs);
  return true;
}

}  // namespace

std::int32_t RunAcquisition(const RunSettings& settings) {
  Run run;
  run.count = settings.FileCount;
  run.remaining = settings.FileCount;
  if (settings.NamesFromCommandLine) {
    run.time_value = settings.TimeValue;
    run.data_name = settings.DataFileName;
    run.log_name = settings.LogFileName;
  } else {
    UseTimeNames(run, settings.TimeValue);
  }

  if (protocol::OpenDeviceLink() != 0) return ErrorEnding(&run);
  console::PrintLogged("%s", kSeparator);
  if (!OpenDataFile(run)) return ErrorEnding(&run);

  for (;;) {
    if (!WriteOneFile(run, settings)) return ErrorEnding(&run);
    if (--run.remaining <= 0) return NormalEnding();

    // Later files are named from the clock, strictly increasing even when it has not moved.
    const std::int64_t now = platform::CurrentTime();
    UseTimeNames(run, now > run.time_value ? now : run.time_value + 1);
    ++run.index;
    console::PrintLogged("%s", kSeparator);
    if (!OpenDataFile(run)) return ErrorEnding(&run);
  }
}

std::int32_t EndWithoutRun() {
  return ErrorEnding(nullptr);
}

}  // namespace app
