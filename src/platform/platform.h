// What the operating system gives the program: priority, key input, console output, the
// performance counter, sleeping, the clock, paths and files. One implementation per platform
// (posix/, windows/). All text is UTF-8; the Windows layer converts at its edges.
//
// Tests replace individual services through Hooks(): an empty hook means the real system.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// ---- test seams -------------------------------------------------------------------------------
struct TestHooks {
  std::function<int()> read_key;                          // WaitForKey's key press; -1 = end of input
  std::function<int()> read_char;                         // one character from standard input
  std::function<void(std::uint32_t)> sleep_ms;            // the pause between files
  std::function<bool(std::int64_t&)> query_counter;       // high-resolution counter ticks
  std::function<bool(std::int64_t&)> query_frequency;     // ticks per second
  std::function<std::int64_t()> current_time;             // seconds since 1970-01-01 UTC
  std::function<int(std::string_view)> direct_console;    // returns characters written, <0 on error
  std::function<void(std::string_view)> standard_output;  // replaces the real standard output
  std::function<void(std::string_view)> standard_error;   // replaces the real standard error
  std::function<bool(std::string_view)> output_data;      // data on standard output; false = reader gone
};
TestHooks& Hooks();
// Clears every hook and any recorded interruption.
void ResetHooks();

// ---- process priority ---------------------------------------------------------------------------
// Saves the current priority and raises it; failures are ignored.
void RaisePriority();
// Restores the priority saved by RaisePriority (nothing when none was saved).
void RestorePriority();

// ---- console ----------------------------------------------------------------------------------
// Writes UTF-8 text to standard output and flushes, so that the routes keep their order.
void WriteStandardOutput(std::string_view text);
// The same to standard error: the texts' way while standard output carries data.
void WriteStandardError(std::string_view text);
enum class DataWrite { Done, ReaderGone, Failed };
// Raw bytes to standard output, never converted (binary on Windows). ReaderGone: the reading end
// of a pipe was closed (a broken pipe, never a signal). `written` gets the bytes that went out.
DataWrite WriteStandardOutputData(const void* data, std::size_t size, std::size_t& written);
// True when standard output is a pipe whose reading end was closed, seen without writing (POSIX;
// on Windows only a write tells, so never).
bool StandardOutputReaderGone();
// Writes to the console device itself, bypassing standard output (the terminal on POSIX,
// nothing when there is none). Returns the characters written, or a negative value on error.
int WriteDirectConsole(std::string_view text);
// One key press without echo and without waiting for a line; when standard input is not a
// terminal, one byte. Returns -1 at end of input. Never blocks on a non-terminal without data,
// and gives -1 when an interruption arrives while it waits at a terminal.
int ReadKey();
// One character from standard input as the C runtime reads it (a line at a console); from a
// non-terminal only a byte already waiting, never waiting for one (-1 otherwise).
int ReadChar();

// ---- interruption -----------------------------------------------------------------------------
// Catches SIGINT and SIGTERM (POSIX) or every console event (Windows) and ignores SIGPIPE. The
// handlers only record an exit code; a second one while the first is pending ends the process
// at once (the default action re-raised on POSIX, exit code 130 on Windows).
void CatchInterruptions();
// The exit code an interruption asks for: 130 for SIGINT and console events, 143 for SIGTERM;
// 0 while none arrived.
int InterruptionCode();
// Records `code` as the handlers do (tests inject interruptions with it); returns the code
// recorded before. Async-signal-safe.
int RecordInterruption(int code);

// ---- time -------------------------------------------------------------------------------------
bool QueryCounter(std::int64_t& ticks);
bool QueryFrequency(std::int64_t& ticks_per_second);
// The system error code of the last failed call (errno on POSIX, GetLastError on Windows).
std::uint32_t LastErrorCode();
void SleepMs(std::uint32_t ms);
std::int64_t CurrentTime();

// ---- paths ------------------------------------------------------------------------------------
// Longest path the platform accepts, in characters without the terminator.
std::size_t PathLimit();
std::string CurrentDirectory();
// The running executable itself (/proc/self/exe, GetModuleFileNameW, or the search path).
std::string ExecutablePath();
bool IsAbsolutePath(std::string_view path);
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Number of characters of a UTF-8 text as the platform counts them in its name limits
// (UTF-16 units on Windows, code points elsewhere).
std::size_t NameLength(std::string_view utf8);

// ---- files ------------------------------------------------------------------------------------
// A data file: created or truncated, binary, short-lived, shared for reading and writing.
// Every write is checked: Write returns false unless all bytes were written.
class DataFile {
 public:
  DataFile() = default;
  ~DataFile();
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  bool Open(const std::string& path);
  bool Write(const void* data, std::size_t size);
  bool Close();  // false when the final flush or close failed
  bool IsOpen() const { return handle_ != kClosed; }
  // Number of data files open in the process (the run's count of streams left open).
  static int OpenCount();
  // Closes every data file still open and returns how many were closed.
  static int CloseAll();

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};

// The warning log: created anew (an existing file is overwritten), write-only, shared for
// reading, short-lived. Writes go straight to the file, unbuffered.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool Create(const std::string& path);
  // Returns the bytes the system reports as written (0 on failure).
  std::uint32_t Write(const void* data, std::size_t size);
  void Close();
  bool IsOpen() const { return handle_ != kClosed; }

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};

}  // namespace platform
