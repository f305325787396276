// The Windows services of platform.h. Names go to the system as UTF-16; console text is
// converted for the console, redirected output keeps the program's UTF-8 bytes.
#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/console_events.h"
#include "platform/windows/wide_entry.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

// Console writes are cut into pieces of this many UTF-16 units: old consoles refuse large
// single writes.
constexpr std::size_t kConsoleChunk = 8192;

DWORD saved_priority = 0;

// A name with a NUL in it would reach the system cut short, naming another file.
bool HasNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

HANDLE AsHandle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}
std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Writes all of `wide` to a console; false when the console refuses a piece.
bool WriteConsoleText(HANDLE console, std::wstring_view wide) {
  while (!wide.empty()) {
    std::size_t piece = std::min(wide.size(), kConsoleChunk);
    // Keep a surrogate pair together.
    if (piece < wide.size() && piece > 1 && wide[piece - 1] >= 0xD800 && wide[piece - 1] <= 0xDBFF) --piece;
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data(), static_cast<DWORD>(piece), &written, nullptr) || written == 0) {
      return false;
    }
    wide.remove_prefix(std::min<std::size_t>(written, wide.size()));
  }
  return true;
}

// Writes every byte, however many calls the system needs; false on a failed or stalled write.
bool WriteAll(HANDLE handle, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 0x40000000));
    DWORD written = 0;
    if (!WriteFile(handle, bytes, piece, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= std::min<std::size_t>(written, size);
  }
  return true;
}

// The console itself, opened once; INVALID_HANDLE_VALUE when the process has none.
HANDLE ConsoleOutput() {
  static const HANDLE console =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  return console;
}

// One byte of redirected standard input, or -1. A pipe is only read when a byte is waiting, so
// that an open but silent pipe never blocks the program's last prompt.
int ReadRedirectedByte(HANDLE input) {
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return -1;
  if (GetFileType(input) == FILE_TYPE_PIPE) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available == 0) return -1;
  }
  std::uint8_t byte = 0;
  DWORD read = 0;
  if (!ReadFile(input, &byte, 1, &read, nullptr) || read != 1) return -1;
  return byte;
}

// The data files now open, for OpenCount and CloseAll.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<DataFile*>& Registry() {
  static std::vector<DataFile*> files;
  return files;
}
void Register(DataFile* file) {
  const std::lock_guard lock(RegistryMutex());
  Registry().push_back(file);
}
void Unregister(DataFile* file) {
  const std::lock_guard lock(RegistryMutex());
  auto& files = Registry();
  files.erase(std::remove(files.begin(), files.end(), file), files.end());
}

}  // namespace

// ---- process priority ---------------------------------------------------------------------------
void RaisePriority() {
  saved_priority = GetPriorityClass(GetCurrentProcess());
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
}

void RestorePriority() {
  if (saved_priority == 0) return;
  SetPriorityClass(GetCurrentProcess(), saved_priority);
  saved_priority = 0;
}

// ---- console ----------------------------------------------------------------------------------
namespace {

// Text for standard output or standard error: converted for a console, the UTF-8 bytes otherwise.
void WriteText(DWORD which, std::string_view text) {
  std::fflush(stdout);  // whatever the C runtime holds goes first
  const HANDLE out = GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
  if (IsConsole(out)) {
    WriteConsoleText(out, Widen(text));
  } else {
    WriteAll(out, text.data(), text.size());
  }
}

}  // namespace

void WriteStandardOutput(std::string_view text) {
  if (auto& hook = Hooks().standard_output) {
    hook(text);
    return;
  }
  WriteText(STD_OUTPUT_HANDLE, text);
}

void WriteStandardError(std::string_view text) {
  if (auto& hook = Hooks().standard_error) {
    hook(text);
    return;
  }
  WriteText(STD_ERROR_HANDLE, text);
}

bool StandardOutputReaderGone() {
  return false;
}

DataWrite WriteStandardOutputData(const void* data, std::size_t size, std::size_t& written) {
  if (auto& hook = Hooks().output_data) {
    written = hook(std::string_view(static_cast<const char*>(data), size)) ? size : 0;
    return written == size ? DataWrite::Done : DataWrite::ReaderGone;
  }
  // The handle is written directly, so no text mode of the C runtime can touch the bytes; the
  // runtime's own stream is put in binary mode as well, for anything that goes through it.
  static const bool binary = _setmode(_fileno(stdout), _O_BINARY) != -1;
  (void)binary;
  written = 0;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return DataWrite::Failed;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (written < size) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size - written, 0x40000000));
    DWORD done = 0;
    if (!WriteFile(out, bytes + written, piece, &done, nullptr) || done == 0) {
      // A reader that left shows as a broken pipe, a pipe being closed, or (Wine, for a Unix
      // pipe; Windows, for a pipe nobody holds the other end of) a pipe not connected.
      const DWORD error = GetLastError();
      const bool gone =
          error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
      return gone ? DataWrite::ReaderGone : DataWrite::Failed;
    }
    written += done;
  }
  return DataWrite::Done;
}

int WriteDirectConsole(std::string_view text) {
  if (auto& hook = Hooks().direct_console) return hook(text);
  const int count = static_cast<int>(std::min<std::size_t>(text.size(), INT32_MAX));
  const HANDLE console = ConsoleOutput();
  // Without a console the indicator has nowhere to go; it is not an error.
  if (console == INVALID_HANDLE_VALUE) return count;
  std::fflush(stdout);
  return WriteConsoleText(console, Widen(text)) ? count : -1;
}

int ReadKey() {
  if (auto& hook = Hooks().read_key) return hook();
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!IsConsole(input)) return ReadRedirectedByte(input);
  int key = _getch();
  // Function and arrow keys arrive as a prefix and a code: one key press takes both.
  if (key == 0 || key == 0xE0) key = _getch();
  return key < 0 ? -1 : key;
}

int ReadChar() {
  if (auto& hook = Hooks().read_char) return hook();
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!IsConsole(input)) return ReadRedirectedByte(input);
  const int c = std::getchar();
  return c == EOF ? -1 : c;
}

// ---- interruption -----------------------------------------------------------------------------
BOOL WINAPI OnConsoleEvent(DWORD event) {
  // A second event while the run is stopping ends the process at once.
  if (RecordInterruption(kInterruptedExitCode) != 0)
    TerminateProcess(GetCurrentProcess(), kInterruptedExitCode);
  // After a close, log-off or shut-down event the system ends the process as soon as this
  // returns: wait instead, so that the run closes its files; its own end (or the system's time
  // limit) ends the process.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    Sleep(INFINITE);
  return TRUE;
}

void CatchInterruptions() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// ---- time -------------------------------------------------------------------------------------
bool QueryCounter(std::int64_t& ticks) {
  if (auto& hook = Hooks().query_counter) return hook(ticks);
  LARGE_INTEGER value{};
  if (!QueryPerformanceCounter(&value)) return false;
  ticks = value.QuadPart;
  return true;
}

bool QueryFrequency(std::int64_t& ticks_per_second) {
  if (auto& hook = Hooks().query_frequency) return hook(ticks_per_second);
  LARGE_INTEGER value{};
  if (!QueryPerformanceFrequency(&value)) return false;
  ticks_per_second = value.QuadPart;
  return true;
}

std::uint32_t LastErrorCode() {
  return GetLastError();
}

void SleepMs(std::uint32_t ms) {
  if (auto& hook = Hooks().sleep_ms) {
    hook(ms);
    return;
  }
  Sleep(ms);
}

std::int64_t CurrentTime() {
  if (auto& hook = Hooks().current_time) return hook();
  return static_cast<std::int64_t>(_time64(nullptr));
}

// ---- paths ------------------------------------------------------------------------------------
std::size_t PathLimit() {
  return MAX_PATH - 1;
}

std::string CurrentDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return Narrow(buffer);
    }
    buffer.resize(length);  // the size asked for, terminator included
  }
}

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  // Paths are at most 32767 units long; the loop ends there at the latest.
  while (buffer.size() <= 32768) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return Narrow(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
  return {};
}

bool IsAbsolutePath(std::string_view path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  // "\\server\share" and "\\?\..." are absolute; so is "C:\..." but not "C:name" or "\name",
  // which depend on the current directory of a drive or on the current drive.
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  const bool letter =
      path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return letter && path[1] == ':' && separator(path[2]);
}

bool FileExists(const std::string& path) {
  if (path.empty() || HasNul(path)) return false;
  return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DeleteFile(const std::string& path) {
  if (path.empty() || HasNul(path)) return false;
  return DeleteFileW(Widen(path).c_str()) != 0;
}

std::size_t NameLength(std::string_view utf8) {
  return Widen(utf8).size();
}

// ---- files ------------------------------------------------------------------------------------
// Data files are written with the system's own calls rather than a C stream: no run-time buffer
// stands between a block and the file, so every write's failure is seen at once and nothing
// already written waits in memory for a close that may never come.
DataFile::~DataFile() {
  Close();
}

bool DataFile::Open(const std::string& path) {
  Close();
  if (path.empty() || HasNul(path)) return false;
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = FromHandle(file);
  Register(this);
  return true;
}

bool DataFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return false;
  return size == 0 || WriteAll(AsHandle(handle_), data, size);
}

bool DataFile::Close() {
  if (!IsOpen()) return true;
  Unregister(this);
  const bool closed = CloseHandle(AsHandle(handle_)) != 0;
  handle_ = kClosed;
  return closed;
}

int DataFile::OpenCount() {
  const std::lock_guard lock(RegistryMutex());
  return static_cast<int>(Registry().size());
}

int DataFile::CloseAll() {
  std::vector<DataFile*> open;
  {
    const std::lock_guard lock(RegistryMutex());
    open = Registry();
  }
  for (DataFile* file : open) file->Close();
  return static_cast<int>(open.size());
}

LogFile::~LogFile() {
  Close();
}

bool LogFile::Create(const std::string& path) {
  Close();
  if (path.empty() || HasNul(path)) return false;
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = FromHandle(file);
  return true;
}

std::uint32_t LogFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t total = 0;
  while (size > 0 && total < UINT32_MAX) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>({size, 0x40000000, UINT32_MAX - total}));
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), bytes, piece, &written, nullptr) || written == 0) break;
    total += written;
    bytes += written;
    size -= std::min<std::size_t>(written, size);
  }
  return total;
}

void LogFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}

}  // namespace platform
