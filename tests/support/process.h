// Runs a built program as a user would from a shell: in a given directory, standard input from
// the null device, standard output captured, no controlling terminal.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ProgramResult {
  int exit_code = -1;  // -1 when the program could not be started or did not exit normally
  std::string out;     // everything it wrote to standard output
};

// `environment` adds NAME=VALUE entries to the inherited environment. `invoked_as` is the
// program's first argument, the name as a user typed it; empty means `program`.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::vector<std::string>& environment = {},
                         const std::string& invoked_as = {});

// Copies a built program (and, when asked, the catalogue beside it) into `directory`, returning
// the copy's path.
std::string InstallProgram(const std::string& program, const std::string& directory, bool with_catalogue);

}  // namespace testing_support
