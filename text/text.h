// Text helpers every layer shares: UTF-8 encoding and trimming.
#pragma once

#include <string>
#include <string_view>

namespace text {

inline constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 encoding of one code point.
void AppendUtf8(std::string& out, char32_t code_point);

// UTF-16 units as UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view units);

// `text` without the characters of `blanks` at either end.
std::string_view Trim(std::string_view text, std::string_view blanks = " \t");

}  // namespace text
