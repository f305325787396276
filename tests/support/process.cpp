#include "support/process.h"

#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#else
#include <cwchar>
#include <functional>
#include <memory>
#include <thread>

#include "platform/windows/wide_entry.h"
#include "platform/windows/win32.h"
#endif

namespace testing_support {

namespace fs = std::filesystem;

std::string InstallProgram(const std::string& program, const std::string& directory) {
  const fs::path source(program);
  const fs::path target = fs::path(directory) / source.filename();
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  fs::copy_file(source.parent_path() / "lang.INI", fs::path(directory) / "lang.INI",
                fs::copy_options::overwrite_existing);
  return target.string();
}

#ifndef _WIN32
static void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& arguments,
                               const std::string& directory, const std::vector<std::string>& environment,
                               const std::string& invoked_as) {
  // posix_spawn only reads them.
  std::vector<char*> argv{const_cast<char*>((invoked_as.empty() ? program : invoked_as).c_str())}, envp;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);  // the first of a name counts
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  // Every descriptor made here closes on exec: the program gets only its copies as 0, 1 and 2.
  int output[2] = {-1, -1}, input[2] = {-1, -1};
  errors_ = memfd_create("stderr", MFD_CLOEXEC);
  if (errors_ < 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(input, O_CLOEXEC) != 0) {
    for (int fd : {output[0], output[1], input[0], input[1]}) CloseFd(fd);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errors_, 2);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);  // no terminal for the direct console

  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  CloseFd(output[1]);
  CloseFd(input[0]);
  output_ = output[0];
  input_ = input[1];
}

StartedProgram::~StartedProgram() {
  Signal(SIGKILL);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  for (int* fd : {&output_, &input_, &errors_}) CloseFd(*fd);
}

std::string StartedProgram::Read(std::size_t count) {
  std::string bytes;
  char buffer[65536];
  for (ssize_t n = 1; n > 0 && bytes.size() < count;) {  // a closed descriptor reads nothing
    n = TEMP_FAILURE_RETRY(read(output_, buffer, std::min(sizeof buffer, count - bytes.size())));
    bytes.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  }
  return bytes;
}

void StartedProgram::CloseOutput() {
  CloseFd(output_);
}

void StartedProgram::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

ProgramResult StartedProgram::Finish() {
  ProgramResult result;
  if (pid_ <= 0) return result;
  result.out = Read(std::string::npos);
  int status = 0;
  TEMP_FAILURE_RETRY(waitpid(pid_, &status, 0));
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.err = ReadFile("/proc/self/fd/" + std::to_string(errors_));  // opened anew: from its start
  return result;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::vector<std::string>& environment,
                         const std::string& invoked_as) {
  return StartedProgram(program, arguments, directory, environment, invoked_as).Finish();
}
#else
using Handle = std::unique_ptr<void, decltype([](HANDLE handle) { CloseHandle(handle); })>;

namespace {

ProgramResult Run(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& directory, const std::vector<std::string>& environment,
                  const std::string& invoked_as, std::size_t output_limit) {
  ProgramResult result;
  // Quoted as the C runtime splits the command line again; the tests' arguments hold no quotation
  // mark and end in no backslash.
  std::wstring command_line = L"\"" + platform::Widen(invoked_as.empty() ? program : invoked_as) + L"\"";
  for (const std::string& argument : arguments) command_line += L" \"" + platform::Widen(argument) + L"\"";
  // The additions first: of two entries with one name, the first counts.
  std::wstring environment_block;
  for (const std::string& addition : environment) environment_block += platform::Widen(addition) + L'\0';
  if (wchar_t* inherited = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = inherited; *entry != L'\0'; entry += std::wcslen(entry) + 1)
      environment_block.append(entry, std::wcslen(entry) + 1);
    FreeEnvironmentStringsW(inherited);
  }
  environment_block.push_back(L'\0');

  // Pipes: standard output and standard error read to their ends, standard input one whose write
  // end stays open here until the program ends.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE ends[6] = {};
  for (int i = 0; i < 6; i += 2)
    if (!CreatePipe(&ends[i], &ends[i + 1], &inheritable, 0)) return result;
  Handle output(ends[0]), child_output(ends[1]), errors(ends[2]), error_output(ends[3]), input(ends[4]),
      input_writer(ends[5]);
  for (HANDLE own : {ends[0], ends[2], ends[5]}) SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = child_output.get();
  startup.hStdError = error_output.get();
  PROCESS_INFORMATION process{};
  // Detached: the program has no console, as a program started without a terminal has none.
  const auto start = [&] {
    std::wstring line = command_line;  // CreateProcessW may write into it
    return CreateProcessW(platform::Widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                          DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment_block.data(),
                          directory.empty() ? nullptr : platform::Widen(directory).c_str(), &startup,
                          &process);
  };
  // Wine 8 now and then refuses a start with ERROR_INTERNAL_ERROR (1359) when several processes
  // start at once, before the program has run: only that start is tried again.
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
  Handle process_handle(process.hProcess), thread_handle(process.hThread);
  child_output.reset();  // a pipe ends when the program's copy of it closes
  error_output.reset();
  input.reset();

  // Reads a pipe to its end, or until `limit` bytes have come.
  const auto drain = [](HANDLE pipe, std::string& text, std::size_t limit) {
    char buffer[65536];
    DWORD read = 0;
    while (text.size() < limit &&
           ::ReadFile(pipe, buffer, static_cast<DWORD>(std::min(sizeof buffer, limit - text.size())), &read,
                      nullptr) &&
           read > 0)
      text.append(buffer, read);
  };
  // Neither pipe may fill up.
  std::thread error_reader(drain, errors.get(), std::ref(result.err), SIZE_MAX);
  drain(output.get(), result.out, output_limit);
  output.reset();  // the reader leaves
  error_reader.join();
  DWORD exit_code = 0;
  if (WaitForSingleObject(process_handle.get(), INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process_handle.get(), &exit_code))
    result.exit_code = static_cast<int>(exit_code);
  return result;
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::vector<std::string>& environment,
                         const std::string& invoked_as) {
  return Run(program, arguments, directory, environment, invoked_as, SIZE_MAX);
}

ProgramResult RunProgramLeavingAfter(std::size_t count, const std::string& program,
                                     const std::vector<std::string>& arguments,
                                     const std::string& directory) {
  return Run(program, arguments, directory, {}, {}, count);
}
#endif

}  // namespace testing_support
