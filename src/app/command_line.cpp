#include "app/command_line.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "app/run.h"
#include "console/catalogue.h"
#include "console/output.h"
#include "platform/platform.h"
#include "sysinfo/system_description.h"
#include "text/text.h"
#include "usb/access.h"

namespace app {

namespace {

// A name from the command line must fit a slot of 256 characters with its terminator.
constexpr std::size_t kNameSlot = 256;

#ifdef _WIN32
constexpr std::string_view kSeparators = "\\/";
constexpr char kSeparator = '\\';
#else
constexpr std::string_view kSeparators = "/";
constexpr char kSeparator = '/';
#endif

bool IsSeparator(char c) {
  return kSeparators.find(c) != std::string_view::npos;
}

// Drops "." components, which name the directory they stand in. ".." stays: a symbolic link
// before it would make a lexical shortcut wrong.
std::string WithoutDotComponents(const std::string& path) {
  std::string result;
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find_first_of(kSeparators, start);
    const std::string_view component =
        std::string_view(path).substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (component != ".") {
      result.append(component);
      if (end != std::string::npos) result += path[end];
    }
    if (end == std::string::npos) return result;
    start = end + 1;
  }
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  const bool ends_with_separator = !directory.empty() && IsSeparator(directory.back());
  return WithoutDotComponents(directory + (ends_with_separator ? "" : std::string(1, kSeparator)) + name);
}

// The path made absolute against the current directory.
std::string AbsolutePath(const std::string& path) {
  if (platform::IsAbsolutePath(path)) return path;
  const std::string directory = platform::CurrentDirectory();
  if (directory.empty()) return path;
#ifdef _WIN32
  const bool has_drive = directory.size() >= 2 && directory[1] == ':';
  if (!path.empty() && IsSeparator(path[0])) {
    return (has_drive ? directory.substr(0, 2) : std::string()) + path;  // "\dir\name": root of this drive
  }
  if (path.size() >= 2 && path[1] == ':') {  // "X:name": relative to drive X
    const bool same_drive = has_drive && (directory[0] | 0x20) == (path[0] | 0x20);
    return JoinPath(same_drive ? directory : path.substr(0, 2), path.substr(2));
  }
#endif
  return JoinPath(directory, path);
}

// A path as shown to the user, with "." and ".." resolved lexically. Only shown: through a
// symbolic link ".." leads elsewhere, so files are still opened by the path as made.
std::string ShownPath(const std::string& path) {
  const std::u8string text(path.begin(), path.end());
  const std::u8string shown = std::filesystem::path(text).lexically_normal().u8string();
  return std::string(shown.begin(), shown.end());
}

bool NamesALink(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_symlink(std::filesystem::path(std::u8string(path.begin(), path.end())), error);
}

bool FitsPathLimit(const std::string& path) {
  return platform::NameLength(AbsolutePath(path)) <= platform::PathLimit();
}

// Only the keyword's own length is compared, so "/RNDNOPX" is RNDNOP and "/Help" is H.
bool MatchesKeyword(std::string_view option, std::string_view keyword) {
  return text::EqualsIgnoringCase(option.substr(0, keyword.size()), keyword);
}

bool SameName(const std::string& a, const std::string& b) {
#if defined(_WIN32) || defined(__APPLE__)
  // Case-insensitive file systems: "X.WRN" and "x.wrn" are one file.
  return text::EqualsIgnoringCase(a, b);
#else
  return a == b;
#endif
}

enum class NumberRead { None, Value, Overflow };

// Reads a decimal number as scanf's "%lld" / "%d" do: leading white space, an optional sign,
// digits up to the first non-digit. A value outside [minimum, maximum] is an overflow.
NumberRead ReadDecimal(std::string_view text, std::int64_t minimum, std::int64_t maximum,
                       std::int64_t& value) {
  std::size_t at = 0;
  while (at < text.size() && std::string_view(" \t\n\v\f\r").find(text[at]) != std::string_view::npos) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return NumberRead::None;

  // The magnitude is gathered unsigned so that the most negative value still fits.
  const std::uint64_t limit =
      negative ? static_cast<std::uint64_t>(-(minimum + 1)) + 1 : static_cast<std::uint64_t>(maximum);
  std::uint64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - '0');
    if (digit > limit || magnitude > (limit - digit) / 10) return NumberRead::Overflow;
    magnitude = magnitude * 10 + digit;
  }
  // Negated modulo 2^64, the most negative magnitude too maps onto its value.
  value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return NumberRead::Value;
}

ParseResult Refuse(ParseResult result, console::Msg message, const std::string& argument) {
  const std::string text = console::ReadMessage(message);
  console::PrintWide("\n%s \"%s\" ", text.c_str(), argument.c_str());
  WaitForKey();
  result.outcome = ParseOutcome::Refused;
  return result;
}

ParseResult Unrecognised(ParseResult result, const std::string& argument) {
  return Refuse(std::move(result), console::Msg::UnrecognisedOption, argument);
}

bool IsOption(const std::string& argument, std::string_view keyword) {
  return !argument.empty() && (argument[0] == '/' || argument[0] == '-') &&
         MatchesKeyword(std::string_view(argument).substr(1), keyword);
}

// The exit code of a backend whose configuration is malformed.
constexpr int kBadConfiguration = 2;

int StartProgram(const std::vector<std::string>& arguments, usb::access::Provider* provider,
                 console::WarningLogState& log) {
  platform::CatchInterruptions();
  platform::RaisePriority();
  // Decided before the first text: while the data take standard output, no text may reach it.
  console::SendTextsToStandardError(std::any_of(arguments.begin() + (arguments.empty() ? 0 : 1),
                                                arguments.end(),
                                                [](const std::string& a) { return IsOption(a, "STDOUT"); }));

  // The catalogue stands beside the executable. A bare name was found through the search path,
  // not in the current directory, and a link (an installed package's entry in /usr/bin) stands
  // apart from the program: then the system is asked where the executable is.
  const std::string invoked = arguments.empty() ? std::string() : arguments[0];
  std::string program_path;
  if (invoked.find_first_of(kSeparators) == std::string::npos || NamesALink(invoked))
    program_path = platform::ExecutablePath();
  if (program_path.empty()) program_path = AbsolutePath(invoked);
  const std::string catalogue = program_path.substr(0, ComponentStart(program_path)) + "lang.INI";
  // A path beyond the platform's limit could not be opened anyway: it counts as missing.
  const bool catalogue_fits = platform::NameLength(catalogue) <= platform::PathLimit();
  console::SetCataloguePath(catalogue_fits ? catalogue : std::string());

  sysinfo::PrintSystemDescription();

  if (!catalogue_fits || !platform::FileExists(catalogue)) {
    console::PrintLogged(log, "\nUnable to open file %s", ShownPath(catalogue).c_str());
    return EndWithoutRun();
  }

  RunSettings defaults;
  defaults.TimeValue = platform::CurrentTime();
  defaults.DataFileName = TimeDataName(defaults.TimeValue);
  defaults.LogFileName = TimeLogName(defaults.TimeValue);
  defaults.ProgramFileName = invoked.substr(ComponentStart(invoked));

  const std::vector<std::string> options(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end());
  ParseResult parsed = ParseCommandLine(options, std::move(defaults));
  if (parsed.outcome == ParseOutcome::Help || parsed.outcome == ParseOutcome::Version) return 0;
  if (parsed.outcome == ParseOutcome::Refused) return 1;

  if (provider == nullptr) {
    try {
      // It outlives the process-wide link to the module, which is made after it.
      static const std::unique_ptr<usb::access::Provider> own = usb::access::MakeDefaultProvider();
      provider = own.get();
    } catch (const std::invalid_argument& error) {
      // A malformed set-up of the backend (the simulated module's): the program cannot start.
      std::fprintf(stderr, "%s: %s\n", parsed.settings.ProgramFileName.c_str(), error.what());
      platform::RestorePriority();
      return kBadConfiguration;
    }
  }
  if (parsed.settings.List) return ListModules(parsed.settings, *provider);
  return RunAcquisition(parsed.settings, *provider, log);
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& arguments, RunSettings defaults) {
  ParseResult result;
  result.settings = std::move(defaults);
  RunSettings& settings = result.settings;
  int names = 0;

  for (const std::string& argument : arguments) {
    if (argument.empty() || (argument[0] != '/' && argument[0] != '-')) {
      ++names;
      if (names > 2) continue;  // further names are ignored
      if (platform::NameLength(argument) >= kNameSlot || !FitsPathLimit(DeriveLogName(argument)) ||
          (names == 1 && !FitsPathLimit(argument))) {
        return Refuse(std::move(result), console::Msg::NameTooLong, argument);
      }
      if (names == 1) {
        settings.DataFileName = argument;
        settings.NamesFromCommandLine = true;
      }
      settings.LogFileName = DeriveLogName(argument);
      settings.LogNameGiven = names == 2;
      continue;
    }

    const std::string_view option = std::string_view(argument).substr(1);
    if (MatchesKeyword(option, "LEN=")) {
      std::int64_t value = 0;
      const NumberRead read = ReadDecimal(option.substr(4), std::numeric_limits<std::int64_t>::min(),
                                          std::numeric_limits<std::int64_t>::max(), value);
      // A negative length would make an empty or endless record: refused like a wrong option.
      if (read == NumberRead::Overflow || (read == NumberRead::Value && value < 0)) {
        return Unrecognised(std::move(result), argument);
      }
      if (read == NumberRead::Value && value != 0) settings.RecordLength = value;
    } else if (MatchesKeyword(option, "FILES=")) {
      std::int64_t value = 1;  // text without a number leaves one file
      const NumberRead read = ReadDecimal(option.substr(6), std::numeric_limits<std::int32_t>::min(),
                                          std::numeric_limits<std::int32_t>::max(), value);
      // A negative count would never reach its end.
      if (read == NumberRead::Overflow || value < 0) return Unrecognised(std::move(result), argument);
      if (value != 0) settings.FileCount = static_cast<std::int32_t>(value);
    } else if (MatchesKeyword(option, "RNDNOP")) {
      settings.GeneratorMode = 3;
    } else if (MatchesKeyword(option, "RND")) {
      settings.GeneratorMode = 7;
    } else if (MatchesKeyword(option, "H") || MatchesKeyword(option, "?")) {
      ShowHelp(settings.ProgramFileName);
      result.outcome = ParseOutcome::Help;
      return result;
    } else if (MatchesKeyword(option, "DEVICE=")) {
      // Compared after every other keyword, so it takes nothing from them. Each one adds a
      // module ID; the present devices are then narrowed to the IDs given.
      const std::optional<usb::UsbId> id = usb::ParseUsbId(option.substr(7));
      if (!id) return Unrecognised(std::move(result), argument);
      std::vector<usb::UsbId>& selected = settings.ModuleIds;
      if (std::find(selected.begin(), selected.end(), *id) == selected.end()) selected.push_back(*id);
    } else if (MatchesKeyword(option, "SERIAL=")) {
      const std::string_view serial = option.substr(7);
      if (serial.empty() || serial.size() >= kNameSlot) return Unrecognised(std::move(result), argument);
      settings.Serial = std::string(serial);
    } else if (MatchesKeyword(option, "LIST")) {
      settings.List = true;
    } else if (MatchesKeyword(option, "STDOUT")) {
      settings.ToStandardOutput = true;
    } else if (MatchesKeyword(option, "STREAM")) {
      settings.Endless = true;
    } else if (MatchesKeyword(option, "VERSION")) {
      console::PrintWide("\nrngacq %s\n", RNGACQ_VERSION);  // a line of its own after the system line
      result.outcome = ParseOutcome::Version;
      return result;
    } else if (MatchesKeyword(option, "ENTROPY=")) {
      const std::string_view text = option.substr(8);
      double claim = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), claim);
      // The health cutoffs are defined for 1 to 8 bits per byte only.
      if (error != std::errc() || end != text.data() + text.size() || !(claim >= 1 && claim <= 8)) {
        return Unrecognised(std::move(result), argument);
      }
      settings.EntropyClaim = claim;
    } else if (MatchesKeyword(option, "RESTARTS")) {
      // Without "=r" the thousand rows a restart test asks for; text after the keyword is passed
      // over as after any other.
      std::int64_t rows = 1000;
      if (option.size() > 8 && option[8] == '=' &&
          (ReadDecimal(option.substr(9), 0, kMaxRestarts, rows) != NumberRead::Value || rows < 1))
        return Unrecognised(std::move(result), argument);
      settings.Restarts = static_cast<std::int32_t>(rows);
    } else if (MatchesKeyword(option, "RECONNECT")) {
      // Without "=s" the wait has no limit.
      std::int64_t seconds = 0;
      if (option.size() > 9 && option[9] == '=' &&
          (ReadDecimal(option.substr(10), 0, kMaxReconnectSeconds, seconds) != NumberRead::Value ||
           seconds < 1))
        return Unrecognised(std::move(result), argument);
      settings.Reconnect = true;
      settings.ReconnectLimit = seconds;
    } else if (MatchesKeyword(option, "PICTURE")) {
      settings.Picture = true;
    } else {
      return Unrecognised(std::move(result), argument);
    }
  }
  // Restart data have their own length, and end; a row is never joined across a gap.
  if (settings.Restarts > 0) {
    settings.RecordLength = settings.Restarts * kRestartRow;
    settings.Endless = false;
    settings.Reconnect = false;
  }
  // A data file that would be its own log would be overwritten by it. Only the final pair counts:
  // a second name may give "x.wrn" another log.
  if (names > 0 && SameName(settings.LogFileName, settings.DataFileName)) {
    const std::string name = settings.DataFileName;  // `result` moves away below
    return Refuse(std::move(result), console::Msg::DataFileIsItsLog, name);
  }
  return result;
}

void ShowHelp(const std::string& program_file_name) {
  const char* name = program_file_name.c_str();
  console::PrintWide(
      "\n"
      "%s, Lite version;\n"
      "   Copyright (c) 2026 the rngacq project.\n"
      "   Free software; see the project's licence for terms.\n"
      "\n"
      "   The program %s serves for data acquisition from an FPGA module via USB bus.\n"
      "\n"
      "   The command line has the following syntax:\n"
      "\n"
      "   %s [file] [/H] [/?] [/LEN=xxx] [RND | RNDNOP] [/FILES=num]\n"
      "\n"
      "    [/LEN=xx] - \"xx\" is the length of the record in bytes (default=10000)\n"
      "     e. g. LEN=125000 \n"
      "   [RND | RNDNOP]\n"
      "    - RND = random data; according to ANSI X9.31-1998 - Appendix A.2.4\n"
      "    - RNDNOP = random data; without post-processing.\n"
      "    [/FILES=num] - \"num\" is number of created files;(default=1)\n"
      "     e. g. FILES=5 \n"
      "    file is the output filename\n"
      "   /H - This text\n"
      "   /? - This text\n"
      "   /DEVICE=vvvv:pppp - take the module with this USB vendor and product ID (hexadecimal)\n"
      "   /SERIAL=text - take the module with this serial number\n"
      "   /LIST - list the attached modules and end\n"
      "   /STDOUT - write the records to standard output instead of files (texts go to standard error)\n"
      "   /STREAM - one record without end; a summary every 64 MiB\n"
      "   /ENTROPY=h - claimed min-entropy in bits per byte for the health tests, 1 to 8\n"
      "     (default 8 with RND, 1 with RNDNOP)\n"
      "   /PICTURE - write NAME.png beside each data file (not with /STDOUT)\n"
      "   /RESTARTS=r - restart data: r rows of 1000 bytes (default 1000), the module closed and\n"
      "     opened again before each row; /LEN and /STREAM do not apply\n"
      "   /RECONNECT[=s] - a module that leaves or stops answering is waited for (at most s\n"
      "     seconds) and opened again, and the record goes on; not with /RESTARTS\n"
      "   /VERSION - show the version and end\n",
      name, name, name);
  WaitForKey();
}

void WaitForKey() {
  const std::string prompt = console::ReadMessage(console::Msg::PressAnyKey);
  console::PrintWide("%s\n", prompt.empty() ? "...press any key." : prompt.c_str());
  platform::ReadKey();
}

int ProgramMain(const std::vector<std::string>& arguments, usb::access::Provider* provider) {
  // Anything raised below, a device that refuses to close (usb::UsbCloseError) included, ends
  // the program in order: its message on a line of its own, the log closed, the key prompt, the
  // priority back, exit code 1.
  console::WarningLogState log;  // the program's one
  try {
    return StartProgram(arguments, provider, log);
  } catch (const std::exception& error) {
    try {
      console::PrintWide("\n%s\n", error.what());
    } catch (...) {
    }
  } catch (...) {
  }
  try {
    log.file.Close();
    WaitForKey();
  } catch (...) {
  }
  platform::RestorePriority();
  return 1;
}

}  // namespace app
