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
  struct Case {
    VersionFacts facts;
    std::string description;  // after "Microsoft "
  };
  const Case cases[] = {
      {.facts = {.MajorVersion = 6,
                 .MinorVersion = 1,
                 .BuildNumber = 761,
                 .PlatformId = 2,
                 .ServicePack = "Service Pack 1",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 1},
       .description = "Windows 7 Ultimate Edition Service Pack 1 (build 761), 64-bit"},
      {.facts = {.MajorVersion = 6,
                 .BuildNumber = 601,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 3,
                 .EditionCode = 7},
       .description = "Windows Server 2008 Standard Edition (build 601), 32-bit"},
      {.facts = {.MajorVersion = 6,
                 .MinorVersion = 1,
                 .BuildNumber = 7601,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 3,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 14},
       .description = "Windows Server 2008 R2 Enterprise Edition (core installation) (build 7601), 64-bit"},
      {.facts = {.MajorVersion = 6,
                 .BuildNumber = 6000,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 6,
                 .EditionCode = 1},
       .description = "Windows Vista Ultimate Edition (build 6000)"},
      {.facts = {.MajorVersion = 6,
                 .MinorVersion = 2,
                 .BuildNumber = 920,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 0x30},
       .description = "Windows 8 Pro (build 920), 64-bit"},
      {.facts = {.MajorVersion = 6,
                 .MinorVersion = 3,
                 .BuildNumber = 9600,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 3,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 8},
       .description = "Windows Server 2012 R2 Datacenter Edition (build 9600), 64-bit"},
      {.facts = {.MajorVersion = 6,
                 .MinorVersion = 4,
                 .BuildNumber = 9841,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 0x1234},
       .description = " (build 9841), 64-bit"},
      {.facts = {.MajorVersion = 10,
                 .BuildNumber = 19045,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9},
       .description = "Windows 10  (build 19045), 64-bit"},
      {.facts = {.MajorVersion = 10,
                 .BuildNumber = 21999,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 0,
                 .EditionCode = 101},
       .description = "Windows 10 Home (build 21999), 32-bit"},
      {.facts = {.MajorVersion = 10,
                 .BuildNumber = 22000,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 48},
       .description = "Windows 11 Pro (build 22000), 64-bit"},
      {.facts = {.MajorVersion = 10,
                 .MinorVersion = 1,
                 .BuildNumber = 30000,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9,
                 .EditionCode = 48},
       .description = " (build 30000), 64-bit"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 1,
                 .BuildNumber = 260,
                 .PlatformId = 2,
                 .ServicePack = "Service Pack 3",
                 .ProductType = 1},
       .description = "Windows XP Professional Service Pack 3 (build 260)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 1,
                 .BuildNumber = 2600,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x0200,
                 .ProductType = 1},
       .description = "Windows XP Home Edition (build 2600)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 379,
                 .PlatformId = 2,
                 .ServicePack = "Service Pack 2",
                 .SuiteMask = 0x0002,
                 .ProductType = 3,
                 .ProcessorArchitecture = 9},
       .description = "Windows Server 2003, Enterprise x64 Edition Service Pack 2 (build 379)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1,
                 .ProcessorArchitecture = 9},
       .description = "Windows XP Professional x64 Edition (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x2000,
                 .ProductType = 3},
       .description = "Windows Storage Server 2003Standard Edition (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x2100,
                 .ProductType = 3},
       .description = "Windows Server 2003, Standard Edition (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x8000,
                 .ProductType = 3},
       .description = "Windows Home ServerStandard Edition (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x4080,
                 .ProductType = 3,
                 .ServerR2 = true},
       .description = "Windows Server 2003 R2, Compute Cluster Edition (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x0082,
                 .ProductType = 3,
                 .ProcessorArchitecture = 6},
       .description = "Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 2,
                 .BuildNumber = 3790,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 3,
                 .ProcessorArchitecture = 6},
       .description = "Windows Server 2003,  (build 3790)"},
      {.facts = {.MajorVersion = 5,
                 .BuildNumber = 2195,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .SuiteMask = 0x0002,
                 .ProductType = 3},
       .description = "Windows 2000 Advanced Server (build 2195)"},
      // The build number is shown signed.
      {.facts = {.MajorVersion = 5,
                 .MinorVersion = 3,
                 .BuildNumber = 0xFFFFFFFFu,
                 .PlatformId = 2,
                 .ServicePack = "",
                 .ProductType = 1},
       .description = " (build -1)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(sysinfo::ComposeDescription(c.facts).value_or("<none>"), "Microsoft " + c.description);

  EXPECT_FALSE(sysinfo::ComposeDescription(VersionFacts{.MajorVersion = 6,
                                                        .MinorVersion = 1,
                                                        .BuildNumber = 1,
                                                        .PlatformId = 1,
                                                        .ServicePack = "",
                                                        .ProductType = 1,
                                                        .ProcessorArchitecture = 9}));  // not the NT family
  EXPECT_FALSE(sysinfo::ComposeDescription(VersionFacts{
      .MajorVersion = 4, .BuildNumber = 1381, .PlatformId = 2, .ServicePack = "", .ProductType = 1}));
}

TEST(ComposeDescription, BoundedTextsNeverExceedTheirRoom) {
  // A service pack longer than the room is cut at 255 units, and the build text is lost.
  const std::string description =
      sysinfo::ComposeDescription(VersionFacts{.MajorVersion = 5,
                                               .MinorVersion = 1,
                                               .BuildNumber = 1,
                                               .PlatformId = 2,
                                               .ServicePack = std::string(300, 's'),
                                               .ProductType = 1})
          .value_or("");
  const std::string product = "Microsoft Windows XP Professional ";
  EXPECT_EQ(description, product + std::string(255 - product.size(), 's'));

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
  const int described = sysinfo::PrintComposed(std::string("Some OS"));
  const int undescribed = sysinfo::PrintComposed(std::nullopt);
  EXPECT_EQ(described, 0);
  EXPECT_EQ(undescribed, 346);
  EXPECT_EQ(console.out, "\nSome OS\nNo description");
  EXPECT_EQ(console.direct, "");
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
      {"PRETTY_NAME=\"ends in an escape \\\\", "ends in an escape \\"},
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
