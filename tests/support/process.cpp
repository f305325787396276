#include "support/process.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#else
#include <cwchar>

#include "platform/windows/wide_entry.h"
#include "platform/windows/win32.h"
#endif

namespace testing_support {

namespace fs = std::filesystem;

std::string InstallProgram(const std::string& program, const std::string& directory, bool with_catalogue) {
  const fs::path source(program);
  const fs::path target = fs::path(directory) / source.filename();
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  if (with_catalogue) {
    fs::copy_file(source.parent_path() / "lang.INI", fs::path(directory) / "lang.INI",
                  fs::copy_options::overwrite_existing);
  }
  return target.string();
}

#ifndef _WIN32
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::vector<std::string>& environment,
                         const std::string& invoked_as) {
  ProgramResult result;
  std::vector<std::string> args{invoked_as.empty() ? program : invoked_as};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);  // no terminal for the direct console

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  close(pipe_fds[1]);
  if (spawned == 0) {
    char buffer[65536];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
      if (n > 0) result.out.append(buffer, static_cast<std::size_t>(n));
      if (n < 0 && errno != EINTR) break;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  }
  close(pipe_fds[0]);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}
#else
namespace {

// One argument quoted for the command line as the C runtime splits it again: backslashes
// count only before a quotation mark.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

// The inherited environment with `additions` appended, as a block of NUL-terminated entries.
std::wstring EnvironmentBlock(const std::vector<std::string>& additions) {
  std::wstring block;
  if (wchar_t* inherited = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = inherited; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      block.append(entry);
      block.push_back(L'\0');
    }
    FreeEnvironmentStringsW(inherited);
  }
  for (const std::string& addition : additions) {
    block.append(platform::Widen(addition));
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset() {
    if (valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::vector<std::string>& environment,
                         const std::string& invoked_as) {
  ProgramResult result;
  std::wstring command_line = QuoteArgument(platform::Widen(invoked_as.empty() ? program : invoked_as));
  for (const std::string& argument : arguments)
    command_line += L" " + QuoteArgument(platform::Widen(argument));
  std::wstring environment_block = EnvironmentBlock(environment);

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return result;
  OwnedHandle output(read_end), child_output(write_end);
  SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);
  OwnedHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                OPEN_EXISTING, 0, nullptr));
  if (!input.valid()) return result;
  // The program's diagnostics go where ours go; the handle must be inheritable to get there.
  HANDLE error_copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &error_copy, 0,
                  TRUE, DUPLICATE_SAME_ACCESS);
  OwnedHandle error_output(error_copy);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = child_output.get();
  startup.hStdError = error_output.valid() ? error_output.get() : input.get();
  PROCESS_INFORMATION process{};
  // Detached: the program has no console, as a program started without a terminal has none.
  const std::wstring folder = platform::Widen(directory);
  const std::wstring path = platform::Widen(program);
  const auto start = [&] {
    std::wstring line = command_line;  // CreateProcessW may write into it
    return CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                          DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment_block.data(),
                          folder.empty() ? nullptr : folder.c_str(), &startup, &process);
  };
  // Wine 8 now and then refuses a start with ERROR_INTERNAL_ERROR (1359) when several processes
  // start at once (seen about once in 40 runs of the suite with ctest -j2 on a loaded machine),
  // before the program has run at all. Only that start is tried again; the program's own
  // outcome is never.
  BOOL started = start();
  for (int retry = 0; !started && GetLastError() == ERROR_INTERNAL_ERROR && retry < 3; ++retry) {
    std::fprintf(stderr, "CreateProcessW refused with error 1359; starting the program again\n");
    Sleep(100);
    started = start();
  }
  if (!started) {
    result.out = "CreateProcessW failed, error " + std::to_string(GetLastError());
    return result;
  }
  OwnedHandle process_handle(process.hProcess), thread_handle(process.hThread);
  child_output.Reset();  // the pipe ends when the program's copy of it closes
  input.Reset();
  error_output.Reset();

  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(output.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
    result.out.append(buffer, read);
  DWORD exit_code = 0;
  if (WaitForSingleObject(process_handle.get(), INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process_handle.get(), &exit_code)) {
    result.exit_code = static_cast<int>(exit_code);
  }
  return result;
}
#endif

}  // namespace testing_support
