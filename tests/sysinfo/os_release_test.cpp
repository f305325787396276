#include "sysinfo/os_release.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sysinfo/system_description.h"

namespace {

std::string Pretty(const std::string& text) {
  return sysinfo::FindOsReleaseValue(text, "PRETTY_NAME").value_or("<absent>");
}

TEST(OsRelease, QuotingEscapesAndHostileContent) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Arch Linux'", "Arch Linux"},
      {"  PRETTY_NAME=Alpine\r\n", "Alpine"},
      {"PRETTY_NAME=\"My \\\"Quoted\\\" \\\\ \\$HOME \\n\"", "My \"Quoted\" \\ $HOME \\n"},
      {"PRETTY_NAME=It\\'s", "It's"},
      {"PRETTY_NAME=\"unterminated", "unterminated"},
      {"# PRETTY_NAME=\"comment\"\nXPRETTY_NAME=x\nPRETTY_NAME_X=y\nPRETTY_NAME=\"\"", ""},
      {"PRETTY_NAME=first\nPRETTY_NAME=second", "second"},
      {"NAME=only", "<absent>"},
      {"", "<absent>"},
      // Control characters and broken UTF-8 never reach the terminal; real characters do.
      {"PRETTY_NAME=\"\x1B[31mRed\x07\xC2\x9B \xFF\xC3 G\xC3\xBCnther\"", "[31mRed  G\xC3\xBCnther"},
      {"PRETTY_NAME=" + std::string(1000, 'n'), std::string(255, 'n')},
      // Only the first 64 KiB are looked at.
      {std::string(sysinfo::kOsReleaseReadLimit, '#') + "\nPRETTY_NAME=late", "<absent>"},
  };
  for (const auto& c : cases) EXPECT_EQ(Pretty(c.text), c.expected) << c.text.substr(0, 60);
}

TEST(OsRelease, ComposesTheLineFromWhatIsKnown) {
  using sysinfo::PosixFacts;
  auto line = [](const PosixFacts& facts) {
    return sysinfo::ComposePosixDescription(facts).value_or("<none>");
  };
  EXPECT_EQ(line({"Debian GNU/Linux 12 (bookworm)", "Linux", "6.1.0-18-amd64", "x86_64"}),
            "Debian GNU/Linux 12 (bookworm) (kernel 6.1.0-18-amd64), 64-bit");
  EXPECT_EQ(line({"", "Linux", "5.10.0", "armv7l"}), "Linux (kernel 5.10.0), 32-bit");
  EXPECT_EQ(line({"", "", "5.10.0", "mystery"}), "kernel 5.10.0");
  EXPECT_EQ(line({"Some OS", "", "", ""}), "Some OS");
  EXPECT_EQ(line({"", "", "", "x86_64"}), "<none>");
  EXPECT_EQ(line({"Evil\x1B]0;title\x07", "", "1\n2", ""}), "Evil]0;title (kernel 12)");

  for (const char* machine : {"ppc64le", "s390x"}) EXPECT_EQ(sysinfo::MachineBitness(machine), "64-bit");
  for (const char* machine : {"i686", "powerpc"}) EXPECT_EQ(sysinfo::MachineBitness(machine), "32-bit");
  EXPECT_EQ(sysinfo::MachineBitness("quantum"), "");
}

}  // namespace
