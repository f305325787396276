// The platform services on Linux and other POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace {

// How far RaisePriority lowers the nice value; unprivileged processes usually may not, which is fine.
constexpr int kPriorityStep = 5;

std::optional<int> g_saved_nice;

bool HasNul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// A closed pipe on standard output must not end the process in the middle of a run: a broken
// pipe becomes a write error (EPIPE), which the data stream reads as its reader leaving.
void IgnoreBrokenPipe() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

extern "C" void OnInterruption(int signal_number) {
  // A second signal while the run is stopping: the default action, at once.
  if (RecordInterruption(128 + signal_number) != 0) {
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
  }
}

// Writes all bytes, retrying interrupted and partial writes. Returns the bytes written.
std::size_t WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// Waits until fd has input (timeout_ms -1: as long as it takes); false on time-out, error, or an
// interruption, which must not be kept waiting for a key.
bool AwaitInput(int fd, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR || InterruptionCode() != 0) return false;
  }
}

// Reads one byte from fd once it has input; -1 at end of input, on error, or interrupted.
int ReadByte(int fd, int timeout_ms = -1) {
  for (;;) {
    if (!AwaitInput(fd, timeout_ms)) return -1;
    unsigned char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

// Standard input that is not a terminal has nobody behind it to press a key: take a byte that is
// already waiting (or the end of input) but never wait for one, so that scripts and pipes left
// open cannot hang the program.
int ReadWaitingByte() {
  return ReadByte(STDIN_FILENO, 0);
}

void WriteText(std::FILE* stream, std::string_view text) {
  IgnoreBrokenPipe();
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The controlling terminal, opened on first use and kept for the process's life.
class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC)) {}
  ~Terminal() {
    if (fd_ >= 0) ::close(fd_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

int ClampToInt(std::size_t n) {
  return static_cast<int>(std::min<std::size_t>(n, INT_MAX));
}

// Every open DataFile, so that the end of the program can count and close the ones left open.
std::vector<DataFile*>& OpenDataFiles() {
  static std::vector<DataFile*> files;
  return files;
}

}  // namespace

// ---- process priority ---------------------------------------------------------------------------

void RaisePriority() {
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, 0);
  if (current == -1 && errno != 0) return;
  g_saved_nice = current;
  ::setpriority(PRIO_PROCESS, 0, std::max(current - kPriorityStep, -20));
}

void RestorePriority() {
  if (!g_saved_nice) return;
  ::setpriority(PRIO_PROCESS, 0, *g_saved_nice);
  g_saved_nice.reset();
}

// ---- console ----------------------------------------------------------------------------------

void WriteStandardOutput(std::string_view text) {
  if (Hooks().standard_output) {
    Hooks().standard_output(text);
    return;
  }
  WriteText(stdout, text);
}

void WriteStandardError(std::string_view text) {
  if (Hooks().standard_error) {
    Hooks().standard_error(text);
    return;
  }
  WriteText(stderr, text);
}

DataWrite WriteStandardOutputData(const void* data, std::size_t size, std::size_t& written) {
  if (Hooks().output_data) {
    written = Hooks().output_data(std::string_view(static_cast<const char*>(data), size)) ? size : 0;
    return written == size ? DataWrite::Done : DataWrite::ReaderGone;
  }
  IgnoreBrokenPipe();
  written = WriteAll(STDOUT_FILENO, data, size);
  if (written == size) return DataWrite::Done;
  return errno == EPIPE ? DataWrite::ReaderGone : DataWrite::Failed;
}

bool StandardOutputReaderGone() {
  if (Hooks().output_data) return false;
  // The writing end of a pipe whose reader closed polls as an error, without a write.
  pollfd out{STDOUT_FILENO, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

int WriteDirectConsole(std::string_view text) {
  if (Hooks().direct_console) return Hooks().direct_console(text);
  IgnoreBrokenPipe();
  std::fflush(stdout);  // what standard output already holds comes first
  static Terminal terminal;
  // Without a terminal the text is counted as shown, so the caller's backspace arithmetic holds.
  if (terminal.fd() < 0) return ClampToInt(text.size());
  const std::size_t written = WriteAll(terminal.fd(), text.data(), text.size());
  if (written < text.size()) return -1;
  return ClampToInt(written);
}

int ReadKey() {
  if (Hooks().read_key) return Hooks().read_key();
  termios saved{};
  if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    const int key = ReadByte(STDIN_FILENO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return key;
  }
  return ReadWaitingByte();
}

int ReadChar() {
  if (Hooks().read_char) return Hooks().read_char();
  return ::isatty(STDIN_FILENO) ? ReadByte(STDIN_FILENO) : ReadWaitingByte();
}

// ---- interruption -----------------------------------------------------------------------------

void CatchInterruptions() {
  IgnoreBrokenPipe();
  struct sigaction action {};
  action.sa_handler = OnInterruption;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls restart, so that no write is cut short; the waits that must end
  // early (a key, the pause between files) are never restarted and look at the record.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

// ---- time -------------------------------------------------------------------------------------

bool QueryCounter(std::int64_t& ticks) {
  if (Hooks().query_counter) return Hooks().query_counter(ticks);
  timespec now{};
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  ticks = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::int64_t>(now.tv_nsec);
  return true;
}

bool QueryFrequency(std::int64_t& ticks_per_second) {
  if (Hooks().query_frequency) return Hooks().query_frequency(ticks_per_second);
  ticks_per_second = 1'000'000'000;
  return true;
}

std::uint32_t LastErrorCode() {
  return static_cast<std::uint32_t>(errno);
}

void SleepMs(std::uint32_t ms) {
  if (Hooks().sleep_ms) {
    Hooks().sleep_ms(ms);
    return;
  }
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR && InterruptionCode() == 0) {
  }
}

std::int64_t CurrentTime() {
  if (Hooks().current_time) return Hooks().current_time();
  return static_cast<std::int64_t>(std::time(nullptr));
}

// ---- paths ------------------------------------------------------------------------------------

std::size_t PathLimit() {
  return PATH_MAX - 1;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() >= (std::size_t{1} << 24)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    // A result that fills the buffer may have been cut: try again with more room.
    if (static_cast<std::size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    if (buffer.size() >= (std::size_t{1} << 24)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool IsAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

bool FileExists(const std::string& path) {
  if (path.empty() || HasNul(path)) return false;
  return ::access(path.c_str(), F_OK) == 0;
}

bool DeleteFile(const std::string& path) {
  if (path.empty() || HasNul(path)) return false;
  return ::unlink(path.c_str()) == 0;
}

std::size_t NameLength(std::string_view utf8) {
  // Every byte that is not a continuation byte starts a code point.
  return static_cast<std::size_t>(std::count_if(
      utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; }));
}

// ---- files ------------------------------------------------------------------------------------

DataFile::~DataFile() {
  Close();
}

// Creates or truncates a file for writing; -1 on failure.
static int CreateForWriting(const std::string& path) {
  if (path.empty() || HasNul(path)) return -1;
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool DataFile::Open(const std::string& path) {
  Close();
  const int fd = CreateForWriting(path);
  if (fd < 0) return false;
  handle_ = fd;
  OpenDataFiles().push_back(this);
  return true;
}

bool DataFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return false;
  // One write() per call: the data goes straight to the system, block by block.
  return WriteAll(static_cast<int>(handle_), data, size) == size;
}

bool DataFile::Close() {
  if (!IsOpen()) return true;
  auto& files = OpenDataFiles();
  files.erase(std::remove(files.begin(), files.end(), this), files.end());
  const int fd = static_cast<int>(handle_);
  handle_ = kClosed;
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  return ::close(fd) == 0;
}

int DataFile::OpenCount() {
  return static_cast<int>(OpenDataFiles().size());
}

int DataFile::CloseAll() {
  int closed = 0;
  while (!OpenDataFiles().empty()) {
    OpenDataFiles().back()->Close();
    ++closed;
  }
  return closed;
}

LogFile::~LogFile() {
  Close();
}

bool LogFile::Create(const std::string& path) {
  Close();
  const int fd = CreateForWriting(path);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

std::uint32_t LogFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return 0;
  size = std::min<std::size_t>(size, std::numeric_limits<std::uint32_t>::max());
  return static_cast<std::uint32_t>(WriteAll(static_cast<int>(handle_), data, size));
}

void LogFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kClosed;
}

}  // namespace platform
