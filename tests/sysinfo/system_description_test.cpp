#include "sysinfo/system_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/catalogue.h"
#include "support/test_support.h"

namespace {

using sysinfo::VersionFacts;

VersionFacts Facts(std::uint32_t major, std::uint32_t minor, std::uint8_t type, std::uint16_t arch,
                   std::uint32_t build, std::string service_pack = {}, std::uint16_t suite = 0,
                   std::uint32_t edition = 0, bool r2 = false) {
  VersionFacts facts;
  facts.MajorVersion = major;
  facts.MinorVersion = minor;
  facts.PlatformId = 2;
  facts.ProductType = type;
  facts.ProcessorArchitecture = arch;
  facts.BuildNumber = build;
  facts.ServicePack = std::move(service_pack);
  facts.SuiteMask = suite;
  facts.EditionCode = edition;
  facts.ServerR2 = r2;
  return facts;
}

TEST(ComposeDescription, ProductsEditionsAndBitness) {
  struct Case {
    VersionFacts facts;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {Facts(6, 1, 1, 9, 761, "Service Pack 1", 0, 1),
       "Microsoft Windows 7 Ultimate Edition Service Pack 1 (build 761), 64-bit"},
      {Facts(6, 0, 3, 0, 601, "", 0, 7),
       "Microsoft Windows Server 2008 Standard Edition (build 601), 32-bit"},
      {Facts(6, 1, 3, 9, 7601, "", 0, 14),
       "Microsoft Windows Server 2008 R2 Enterprise Edition (core installation) (build 7601), 64-bit"},
      {Facts(6, 0, 1, 6, 6000, "", 0, 1), "Microsoft Windows Vista Ultimate Edition (build 6000)"},
      {Facts(6, 2, 1, 9, 920, "", 0, 0x30), "Microsoft  (build 920), 64-bit"},
      {Facts(10, 0, 1, 9, 19045), "Microsoft  (build 19045), 64-bit"},
      {Facts(5, 1, 1, 0, 260, "Service Pack 3"),
       "Microsoft Windows XP Professional Service Pack 3 (build 260)"},
      {Facts(5, 1, 1, 0, 2600, "", 0x0200), "Microsoft Windows XP Home Edition (build 2600)"},
      {Facts(5, 2, 3, 9, 379, "Service Pack 2", 0x0002),
       "Microsoft Windows Server 2003, Enterprise x64 Edition Service Pack 2 (build 379)"},
      {Facts(5, 2, 1, 9, 3790), "Microsoft Windows XP Professional x64 Edition (build 3790)"},
      {Facts(5, 2, 3, 0, 3790, "", 0x2000),
       "Microsoft Windows Storage Server 2003Standard Edition (build 3790)"},
      {Facts(5, 2, 3, 0, 3790, "", 0x2100), "Microsoft Windows Server 2003, Standard Edition (build 3790)"},
      {Facts(5, 2, 3, 0, 3790, "", 0x8000), "Microsoft Windows Home ServerStandard Edition (build 3790)"},
      {Facts(5, 2, 3, 0, 3790, "", 0x4080, 0, true),
       "Microsoft Windows Server 2003 R2, Compute Cluster Edition (build 3790)"},
      {Facts(5, 2, 3, 6, 3790, "", 0x0082),
       "Microsoft Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 3790)"},
      {Facts(5, 2, 3, 6, 3790), "Microsoft Windows Server 2003,  (build 3790)"},
      {Facts(5, 0, 3, 0, 2195, "", 0x0002), "Microsoft Windows 2000 Advanced Server (build 2195)"},
      // The build number is shown signed.
      {Facts(5, 3, 1, 0, 0xFFFFFFFFu), "Microsoft  (build -1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(sysinfo::ComposeDescription(c.facts).value_or("<none>"), c.expected);

  VersionFacts not_nt = Facts(6, 1, 1, 9, 1);
  not_nt.PlatformId = 1;
  EXPECT_FALSE(sysinfo::ComposeDescription(not_nt));
  EXPECT_FALSE(sysinfo::ComposeDescription(Facts(4, 0, 1, 0, 1381)));
}

TEST(ComposeDescription, BoundedTextsNeverExceedTheirRoom) {
  // A service pack longer than the room is cut at 255 units, and the build text is lost.
  const std::string description =
      sysinfo::ComposeDescription(Facts(5, 1, 1, 0, 1, std::string(300, 's'))).value_or("");
  EXPECT_EQ(description.size(), 255u);
  EXPECT_EQ(description.substr(description.size() - 3), "sss");

  // Cuts count UTF-16 units and never split a character.
  std::string text(253, 'a');
  sysinfo::BoundedAppend(text, "\xC3\xA9\xF0\x9F\x98\x80");  // one unit fits, the pair does not
  EXPECT_EQ(text, std::string(253, 'a') + "\xC3\xA9");
  sysinfo::BoundedAppend(text, "b");
  EXPECT_EQ(text.size(), 256u);  // 255 units
  sysinfo::BoundedAppend(text, "c");
  EXPECT_EQ(text.size(), 256u);

  EXPECT_EQ(sysinfo::BoundedFormat(" (build %d)", 42), " (build 42)");
  EXPECT_EQ(sysinfo::BoundedFormat("%080d", 7).size(), 79u);
}

TEST(PrintComposed, PrintsTheLineOrTheCatalogueText) {
  testing_support::ScratchDir dir;
  testing_support::WriteFile(dir / "lang.INI", "[F003]\nS001=No description\n");
  console::SetCataloguePath(dir / "lang.INI");
  testing_support::CapturedConsole console;
  EXPECT_EQ(sysinfo::PrintComposed(std::string("Some OS")), 0);
  EXPECT_EQ(sysinfo::PrintComposed(std::nullopt), 346);
  EXPECT_EQ(console.out, "\nSome OS\nNo description");
  EXPECT_TRUE(console.direct.empty());
  console::SetCataloguePath("");
}

}  // namespace
