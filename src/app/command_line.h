// Start-up and the command line: priority, catalogue location, system line, RunSettings.
#pragma once

#include <string>
#include <vector>

#include "app/settings.h"
#include "usb/access.h"

namespace app {

enum class ParseOutcome { Run, Help, Version, Refused };

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::Run;
  RunSettings settings;
};

// Parses the arguments after the program path into `defaults` (already holding the default
// names and time value). Help and refused arguments print their messages and the key prompt;
// /VERSION prints the version line, without a prompt.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments, RunSettings defaults);

// Prints the help screen for `program_file_name`, then waits for a key.
void ShowHelp(const std::string& program_file_name);

// The key prompt (F007/S001 or the fixed text), then one key press.
void WaitForKey();

// The whole program: start-up, parse, run. `arguments` includes the program path as invoked.
// The program. Its modules come from `provider`, or from the backend's own provider (made on first
// need and kept for the process) when none is given.
int ProgramMain(const std::vector<std::string>& arguments, usb::access::Provider* provider = nullptr);

}  // namespace app
