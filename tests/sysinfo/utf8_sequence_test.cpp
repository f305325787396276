// The length of the UTF-8 character at a position, as the system line's room is counted in
// UTF-16 units: each lead byte's length, and 0 for what is no whole character.
#include <gtest/gtest.h>

#include <string>

#include "text/text.h"

namespace {

TEST(Utf8SequenceLength, EachLeadByteAndEveryWayToFail) {
  struct Row {
    std::string text;
    std::size_t at, length;
  };
  const Row rows[] = {
      {"a", 0, 1},
      {"\x7F", 0, 1},
      {"\xC2\x80", 0, 2},
      {"\xDF\xBF", 0, 2},
      {"\xE0\xA0\x80", 0, 3},
      {"\xEF\xBF\xBF", 0, 3},
      {"\xF0\x90\x80\x80", 0, 4},
      {"\xF4\x8F\xBF\xBF", 0, 4},
      {"x\xE2\x82\xAC", 1, 3},
      {"abc", 3, 0},               // at the end
      {"abc", 4, 0},               // past it
      {"\x80", 0, 0},              // a continuation byte
      {"\xC1\x80", 0, 0},          // an overlong lead
      {"\xF5\x80\x80\x80", 0, 0},  // beyond U+10FFFF
      {"\xE2\x82", 0, 0},          // cut short
      {"\xE2\x82x", 0, 0},         // a continuation missing
      {"\xF0\x90\x80x", 0, 0},
      {"\xE0\x80\x80", 0, 0},  // an overlong form of U+0000
      {"\xED\xA0\x80", 0, 0},  // a surrogate
      {"\xEF\xBF\xBD", 0, 3},  // the replacement character itself
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.text) + " at " + std::to_string(row.at));
    EXPECT_EQ(text::Utf8SequenceLength(row.text, row.at), row.length);
  }
}

}  // namespace
