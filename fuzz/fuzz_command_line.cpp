// ParseCommandLine on arbitrary argument vectors. Refusals print and prompt (the hooks swallow
// both); a run that is let through must carry settings the acquisition can live with.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "console/catalogue.h"
#include "fuzz_support.h"
#include "usb/driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietConsole();
  // No catalogue: every text is empty and the fixed prompt stands in for the key prompt.
  console::SetCataloguePath("/nonexistent/lang.INI");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> arguments;
  while (input.remaining_bytes() > 0 && arguments.size() < 16) {
    arguments.push_back(input.ConsumeRandomLengthString(400));
  }

  app::RunSettings defaults;
  defaults.TimeValue = 0x5F5E1000;
  defaults.DataFileName = app::TimeDataName(defaults.TimeValue);
  defaults.LogFileName = app::TimeLogName(defaults.TimeValue);
  defaults.ProgramFileName = "rngacq";
  const app::ParseResult result = app::ParseCommandLine(arguments, defaults);
  if (result.outcome == app::ParseOutcome::Run) {
    const app::RunSettings& s = result.settings;
    fuzz::Check(s.RecordLength > 0, "record length is positive");
    fuzz::Check(s.FileCount >= 1, "at least one file");
    fuzz::Check(s.GeneratorMode == 7 || s.GeneratorMode == 3, "a generator mode the module knows");
    fuzz::Check(s.DataFileName != s.LogFileName, "a data file is never its own log");
    fuzz::Check(s.DataFileName.size() < 256 * 4 && s.LogFileName.size() < 260 * 4 + 4,
                "names fit their slots");
  }
  return 0;
}
