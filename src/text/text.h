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

// Decodes the UTF-8 character at text[pos] and moves pos past it; a malformed one yields U+FFFD
// and consumes one byte.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos);

// The bytes of the whole UTF-8 character at text[at]; 0 when none starts there (past the end, or
// a malformed sequence).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);
// UTF-8 as UTF-16 units; malformed bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// `text` cut to at most `limit` bytes without splitting a character.
std::string_view CutUtf8(std::string_view text, std::size_t limit);

// Equal but for the case of ASCII letters.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
// `text` without the characters of `blanks` at either end.
std::string_view Trim(std::string_view text, std::string_view blanks = " \t");

}  // namespace text
