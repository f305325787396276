#include "sysinfo/system_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/catalogue.h"
#include "support/test_support.h"
#include "sysinfo/os_release.h"

namespace {

using sysinfo::VersionFacts;

TEST(ComposeDescription, ProductsEditionsAndBitness) {
  const std::vector<std::pair<VersionFacts, std::string>> cases = {
      {{6, 1, 761, 2, "Service Pack 1", 0, 1, 9, 1},
       "Windows 7 Ultimate Edition Service Pack 1 (build 761), 64-bit"},
      {{6, 0, 601, 2, "", 0, 3, 0, 7}, "Windows Server 2008 Standard Edition (build 601), 32-bit"},
      {{6, 1, 7601, 2, "", 0, 3, 9, 14},
       "Windows Server 2008 R2 Enterprise Edition (core installation) (build 7601), 64-bit"},
      {{6, 0, 6000, 2, "", 0, 1, 6, 1}, "Windows Vista Ultimate Edition (build 6000)"},
      {{6, 2, 920, 2, "", 0, 1, 9, 0x30}, " (build 920), 64-bit"},
      {{10, 0, 19045, 2, "", 0, 1, 9}, " (build 19045), 64-bit"},
      {{5, 1, 260, 2, "Service Pack 3", 0, 1, 0}, "Windows XP Professional Service Pack 3 (build 260)"},
      {{5, 1, 2600, 2, "", 0x0200, 1, 0}, "Windows XP Home Edition (build 2600)"},
      {{5, 2, 379, 2, "Service Pack 2", 0x0002, 3, 9},
       "Windows Server 2003, Enterprise x64 Edition Service Pack 2 (build 379)"},
      {{5, 2, 3790, 2, "", 0, 1, 9}, "Windows XP Professional x64 Edition (build 3790)"},
      {{5, 2, 3790, 2, "", 0x2000, 3, 0}, "Windows Storage Server 2003Standard Edition (build 3790)"},
      {{5, 2, 3790, 2, "", 0x2100, 3, 0}, "Windows Server 2003, Standard Edition (build 3790)"},
      {{5, 2, 3790, 2, "", 0x8000, 3, 0}, "Windows Home ServerStandard Edition (build 3790)"},
      {{5, 2, 3790, 2, "", 0x4080, 3, 0, 0, true},
       "Windows Server 2003 R2, Compute Cluster Edition (build 3790)"},
      {{5, 2, 3790, 2, "", 0x0082, 3, 6},
       "Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 3790)"},
      {{5, 2, 3790, 2, "", 0, 3, 6}, "Windows Server 2003,  (build 3790)"},
      {{5, 0, 2195, 2, "", 0x0002, 3, 0}, "Windows 2000 Advanced Server (build 2195)"},
      // The build number is shown signed.
      {{5, 3, 0xFFFFFFFFu, 2, "", 0, 1, 0}, " (build -1)"},
  };
  for (const auto& [facts, expected] : cases)
    EXPECT_EQ(sysinfo::ComposeDescription(facts).value_or("<none>"), "Microsoft " + expected);

  EXPECT_FALSE(sysinfo::ComposeDescription(VersionFacts{6, 1, 1, 1, "", 0, 1, 9}));  // not the NT family
  EXPECT_FALSE(sysinfo::ComposeDescription(VersionFacts{4, 0, 1381, 2, "", 0, 1, 0}));
}

TEST(ComposeDescription, BoundedTextsNeverExceedTheirRoom) {
  // A service pack longer than the room is cut at 255 units, and the build text is lost.
  const std::string description =
      sysinfo::ComposeDescription(VersionFacts{5, 1, 1, 2, std::string(300, 's'), 0, 1, 0}).value_or("");
  EXPECT_EQ(description, "Microsoft Windows XP Professional " + std::string(255 - 34, 's'));

  // Cuts count UTF-16 units and never split a character.
  std::string text(253, 'a');
  // Of the first part one unit fits, the pair does not; "c" finds 255 units full.
  for (const char* part : {"\xC3\xA9\xF0\x9F\x98\x80", "b", "c"}) sysinfo::BoundedAppend(text, part);
  EXPECT_EQ(text, std::string(253, 'a') + "\xC3\xA9" + "b");

  EXPECT_EQ(sysinfo::BoundedFormat(" (build %d)", 42), " (build 42)");
  EXPECT_EQ(sysinfo::BoundedFormat("%080d", 7).size(), 79u);
}

TEST(PrintComposed, PrintsTheLineOrTheCatalogueText) {
  testing_support::ScratchDir dir;
  testing_support::WriteFile(dir / "lang.INI", "[F003]\nS001=No description\n");
  console::SetCataloguePath(dir / "lang.INI");
  testing_support::CapturedConsole console;
  EXPECT_EQ((std::tuple{sysinfo::PrintComposed(std::string("Some OS")), sysinfo::PrintComposed(std::nullopt),
                        console.out, console.direct}),
            std::tuple(0, 346, "\nSome OS\nNo description", ""));
  console::SetCataloguePath("");
}

TEST(OsRelease, QuotingEscapesAndHostileContent) {
  const std::vector<std::pair<std::string, std::string>> cases = {
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
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(sysinfo::FindOsReleaseValue(text, "PRETTY_NAME").value_or("<absent>"), expected)
        << text.substr(0, 60);
}

TEST(OsRelease, ComposesTheLineFromWhatIsKnown) {
  auto line = [](const sysinfo::PosixFacts& facts) {
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
