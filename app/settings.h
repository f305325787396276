// The run's settings, filled from the command line and read by the acquisition run.
#pragma once

#include <cstdint>
#include <string>

namespace app {

struct RunSettings {
  std::int64_t RecordLength = 10000;
  std::int32_t FileCount = 1;
  std::uint8_t GeneratorMode = 7;     // 7 RND, 3 RNDNOP
  std::string ModeLabel = "RND_GEN";  // "RND_GEN" with 7, "RND_TST" with 3
  std::string DataFileName;           // first data file (UTF-8)
  std::string LogFileName;            // its warning log
  bool NamesFromCommandLine = false;  // the first names came from the command line
  std::int64_t TimeValue = 0;         // seconds since 1970 UTC, read once at start
  std::string ProgramFileName;        // file name and extension of the program as invoked
};

// "%08X.bin" / "%08X.wrn" of the low 32 bits of a time value.
std::string TimeDataName(std::int64_t time_value);
std::string TimeLogName(std::int64_t time_value);

// The log name for a data file name: drive, directory and file name with the extension
// replaced by ".wrn" (appended when there is none).
std::string DeriveLogName(const std::string& name);

}  // namespace app
