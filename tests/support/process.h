// Runs a built program as a user would from a shell: in a given directory, without a controlling
// terminal, standard output and standard error captured apart, and standard input a pipe held
// open that never delivers, so that a wait for a key that would hang on it shows.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct ProgramResult {
  int exit_code = -1;  // -1 when the program could not be started or did not exit normally
  std::string out;
  std::string err;
  int signal = 0;  // the signal that ended it (POSIX)
};

// `environment` adds NAME=VALUE entries to the inherited environment. `invoked_as` is the
// program's first argument, the name as a user typed it; empty means `program`.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::vector<std::string>& environment = {},
                         const std::string& invoked_as = {});

#ifdef _WIN32
// Runs a program whose standard output is read for `count` bytes and then closed: a reader that
// leaves. The output holds what was read.
ProgramResult RunProgramLeavingAfter(std::size_t count, const std::string& program,
                                     const std::vector<std::string>& arguments, const std::string& directory);
#else
// A program running while the test reads its standard output, signals it or leaves.
class StartedProgram {
 public:
  StartedProgram(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& directory, const std::vector<std::string>& environment = {},
                 const std::string& invoked_as = {});
  ~StartedProgram();  // kills a program still running
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  std::string Read(std::size_t count);  // up to `count` bytes of standard output; fewer only at its end
  void CloseOutput();                   // its next write to standard output meets a broken pipe
  void Signal(int signal_number);
  ProgramResult Finish();  // reads the rest of standard output (unless closed), waits for the end

 private:
  // input_: the write end of standard input, held open; errors_: the file standard error goes to.
  int pid_ = -1, output_ = -1, input_ = -1, errors_ = -1;
};
#endif

// Copies a built program and the catalogue beside it into `directory`, returning the copy's path.
std::string InstallProgram(const std::string& program, const std::string& directory);

}  // namespace testing_support
