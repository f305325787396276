// The run's settings, filled from the command line and read by the acquisition run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "usb/access.h"

namespace app {

struct RunSettings {
  std::int64_t RecordLength = 10000;
  std::int32_t FileCount = 1;
  std::uint8_t GeneratorMode = 7;     // 7 RND, 3 RNDNOP
  std::string DataFileName;           // first data file (UTF-8)
  std::string LogFileName;            // its warning log
  bool NamesFromCommandLine = false;  // the first names came from the command line
  bool LogNameGiven = false;          // a second name named the log
  bool ToStandardOutput = false;      // /STDOUT: the records go to standard output, no data file
  bool Endless = false;               // /STREAM: one record without end
  std::int64_t TimeValue = 0;         // seconds since 1970 UTC, read once at start
  std::string ProgramFileName;        // file name and extension of the program as invoked
  std::vector<usb::UsbId> ModuleIds;  // /DEVICE=: the IDs that count as modules (empty: built in)
  std::string Serial;                 // /SERIAL=: the module's serial number (empty: the only one)
  bool List = false;                  // /LIST: list the attached modules instead of a run
  double EntropyClaim = 0;            // /ENTROPY=: claimed min-entropy per byte (0: by mode)
  bool Picture = false;               // /PICTURE: NAME.png beside each data file
  std::int32_t Restarts = 0;          // /RESTARTS=: rows of restart data, the module reopened per row
  bool Reconnect = false;             // /RECONNECT: a module that leaves is waited for, the run goes on
  std::int64_t ReconnectLimit = 0;    // /RECONNECT=s: the longest wait in seconds (0: no limit)
};

// The samples (bytes) of one row of restart data.
inline constexpr std::int64_t kRestartRow = 1000;
// At most this many rows: a matrix of them is 1 GB.
inline constexpr std::int64_t kMaxRestarts = 1000000;

// The longest wait /RECONNECT=s accepts: about 11 days.
inline constexpr std::int64_t kMaxReconnectSeconds = 1000000;

// The generator mode's label in the record heading: "RND_TST" for 3 (raw), "RND_GEN" otherwise.
const char* ModeLabel(std::uint8_t mode);

// Where the last path component starts. Windows also knows '\\' and the drive colon ("C:name").
std::size_t ComponentStart(std::string_view path);

// "%08X.bin" / "%08X.wrn" of the low 32 bits of a time value.
std::string TimeDataName(std::int64_t time_value);
std::string TimeLogName(std::int64_t time_value);

// The name with its extension (if any) replaced by `extension` (".png").
std::string WithExtension(const std::string& name, const char* extension);

// The log name for a data file name: drive, directory and file name with the extension
// replaced by ".wrn" (appended when there is none).
std::string DeriveLogName(const std::string& name);

}  // namespace app
