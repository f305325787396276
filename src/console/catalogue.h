// The message catalogue lang.INI: texts looked up by section and key at the moment they are shown.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace console {

// Longest text a lookup yields, in UTF-16 units: a 256-unit message buffer less its terminator.
inline constexpr std::size_t kMessageCapacity = 255;

// The full path of lang.INI; set once at start-up.
void SetCataloguePath(std::string path);
const std::string& CataloguePath();

// The catalogue's entries the program shows, each named once (messages.inc).
enum class Msg {
#define RNGACQ_MESSAGE(name, section, key) name,
#include "console/messages.inc"
#undef RNGACQ_MESSAGE
};

// Looks the entry up in the catalogue file, read afresh at every call. Returns the process-wide
// MessageBuffer: the text up to its first ';', at most kMessageCapacity units, or the empty text
// when the file, section or key is missing. Valid only until the next lookup; copy it to keep it.
const std::string& ReadMessage(std::string_view section, std::string_view key);
const std::string& ReadMessage(Msg message);
// The message on a line of its own, on the standard-output route ("\n%s").
void PrintMessageLine(Msg message);

// The INI reader behind ReadMessage, on the bytes of a whole file: UTF-8 with or without a
// byte-order mark, or UTF-16LE with one. Section and key names compare case-insensitively;
// blanks around '=' and the value are trimmed; the value is cut at kMessageCapacity units.
// Returns nothing when the section or key is absent.
std::optional<std::string> FindIniValue(std::string_view file_bytes, std::string_view section,
                                        std::string_view key);

}  // namespace console
