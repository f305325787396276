// The Windows edge of the program's text: arguments and names arrive and leave as UTF-16,
// everything inside is UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The wide argument vector of wmain as UTF-8 texts; stops at the first null entry.
std::vector<std::string> WideArguments(int argc, wchar_t** argv);

// UTF-8 to UTF-16 and back. Malformed input never fails: each bad sequence becomes U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace platform
