// Whole runs of rngacq-sim: throughput for a 256 MiB record and peak resident memory for 1 MiB
// and 256 MiB records (it must not grow with the record). Figures only; nothing is asserted.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exit_code = -1;
  double seconds = 0;
  long peak_kib = 0;
};

Outcome RunRecord(const fs::path& directory, long long length) {
  const std::string program = RNGACQ_SIM_PROGRAM;
  const std::string len = "/LEN=" + std::to_string(length);
  std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(len.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const fs::path previous = fs::current_path();
  fs::current_path(directory);
  Outcome outcome;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid) {
      outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      outcome.peak_kib = usage.ru_maxrss;
    }
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fs::current_path(previous);
  posix_spawn_file_actions_destroy(&actions);
  return outcome;
}

}  // namespace

int main() {
  const fs::path directory = fs::temp_directory_path() / ("rngacq-bench-run-" + std::to_string(getpid()));
  fs::create_directories(directory);
  int failures = 0;
  for (long long length : {1LL << 20, 256LL << 20}) {
    const Outcome outcome = RunRecord(directory, length);
    failures += outcome.exit_code != 0;
    std::printf("record %4lld MiB: exit %d, %.2f s, %.0f MiB/s, peak resident %ld KiB\n", length >> 20,
                outcome.exit_code, outcome.seconds, static_cast<double>(length) / (1 << 20) / outcome.seconds,
                outcome.peak_kib);
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  fs::remove_all(directory);
  return failures == 0 ? 0 : 1;
}
