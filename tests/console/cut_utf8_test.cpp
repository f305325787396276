// Texts cut to a byte limit for the fixed-size buffers of the console and the log: never in the
// middle of a UTF-8 character, and never further back than a character can be long.
#include <gtest/gtest.h>

#include <string>

#include "console/output.h"

namespace {

TEST(CutUtf8, EndsOnTheLastCharacterThatFitsWhole) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // characters of 1, 2, 3 and 4 bytes
  const std::size_t kept[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10};     // by limit 0 to 10
  for (std::size_t limit = 0; limit <= text.size(); ++limit)
    EXPECT_EQ(console::CutUtf8(text, limit).size(), kept[limit]) << "limit " << limit;
  EXPECT_EQ(console::CutUtf8(text, 20), text) << "a limit beyond the text";
}

TEST(CutUtf8, WhereNoCharacterStartsNearbyItCutsAtTheLimit) {
  // Four continuation bytes and more: no character of UTF-8 is that long.
  EXPECT_EQ(console::CutUtf8("ab\x80\x80\x80\x80\x80", 6), "ab\x80\x80\x80\x80");
  EXPECT_EQ(console::CutUtf8("a\xF0\x80\x80\x80\x80x", 5), "a\xF0\x80\x80\x80") << "a lead byte four back";
  // Continuation bytes from the text's first byte on.
  EXPECT_EQ(console::CutUtf8("\x80\x80x", 1), "\x80");
  EXPECT_EQ(console::CutUtf8("\x80\x80\x80x", 2), "\x80\x80");
}

}  // namespace
