// The system's own product codes and suite bits as the description names them: every edition
// code of version 6, and each server suite of versions 5.2 and 5.0 on each processor.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sysinfo/system_description.h"

namespace {

using sysinfo::VersionFacts;

// Windows 7 on x86 with the given product-information code.
std::string Windows7(std::uint32_t edition) {
  return sysinfo::ComposeDescription(VersionFacts{.MajorVersion = 6,
                                                  .MinorVersion = 1,
                                                  .BuildNumber = 7601,
                                                  .PlatformId = 2,
                                                  .ServicePack = {},
                                                  .ProductType = 1,
                                                  .EditionCode = edition})
      .value_or("<none>");
}

TEST(Editions, EveryProductCodeOfVersionSixHasItsName) {
  struct Row {
    std::uint32_t code;
    std::string name;  // empty: a code without a name
  };
  const Row rows[] = {
      {0, ""},
      {1, "Ultimate Edition"},
      {2, "Home Basic Edition"},
      {3, "Home Premium Edition"},
      {4, "Enterprise Edition"},
      {5, ""},
      {6, "Business Edition"},
      {7, "Standard Edition"},
      {8, "Datacenter Edition"},
      {9, "Small Business Server"},
      {10, "Enterprise Edition"},
      {11, "Starter Edition"},
      {12, "Datacenter Edition (core installation)"},
      {13, "Standard Edition (core installation)"},
      {14, "Enterprise Edition (core installation)"},
      {15, "Enterprise Edition for Itanium-based Systems"},
      {16, ""},
      {17, "Web Server Edition"},
      {18, "Cluster Server Edition"},
      {19, ""},
      {24, ""},
      {25, "Small Business Server Premium Edition"},
      {26, ""},
      {47, ""},
      {48, "Pro"},
      {49, "Pro N"},
      {50, ""},
      {97, ""},
      {98, "Home N"},
      {99, ""},
      {100, "Home Single Language"},
      {101, "Home"},
      {102, ""},
      {121, "Education"},
      {122, "Education N"},
      {125, "Enterprise LTSC"},
      {161, "Pro for Workstations"},
      {162, ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Windows7(row.code), "Microsoft Windows 7 " + row.name + " (build 7601), 32-bit")
        << "code " << row.code;
}

// Version 10.0 is told apart by product type and build: the first build of each system.
TEST(Editions, TheBuildNamesTheSystemsOfVersionTen) {
  struct Row {
    std::uint8_t product_type;
    std::uint32_t build;
    std::string name;
  };
  const Row rows[] = {
      {1, 10240, "Windows 10"},          {1, 21999, "Windows 10"},          {1, 22000, "Windows 11"},
      {3, 14393, "Windows Server 2016"}, {2, 17762, "Windows Server 2016"}, {3, 17763, "Windows Server 2019"},
      {3, 20347, "Windows Server 2019"}, {3, 20348, "Windows Server 2022"}, {3, 26099, "Windows Server 2022"},
      {3, 26100, "Windows Server 2025"},
  };
  for (const Row& row : rows) {
    const std::optional<std::string> text =
        sysinfo::ComposeDescription(VersionFacts{.MajorVersion = 10,
                                                 .BuildNumber = row.build,
                                                 .PlatformId = 2,
                                                 .ServicePack = {},
                                                 .ProductType = row.product_type,
                                                 .EditionCode = 7});
    EXPECT_EQ(text.value_or("<none>"),
              "Microsoft " + row.name + " Standard Edition (build " + std::to_string(row.build) + "), 32-bit")
        << "product type " << int{row.product_type} << ", build " << row.build;
  }
}

TEST(Editions, ServerSuitesOfVersionsFiveTwoAndFiveZero) {
  struct Row {
    std::uint32_t minor;
    std::uint16_t suite;
    std::uint16_t processor;  // 0 x86, 6 Itanium, 9 x64
    std::string product;
  };
  const Row rows[] = {
      {2, 0x0080, 6, "Windows Server 2003, Datacenter Edition for Itanium-based Systems"},
      {2, 0x0002, 6, "Windows Server 2003, Enterprise Edition for Itanium-based Systems"},
      {2, 0x0000, 6, "Windows Server 2003, "},
      {2, 0x0080, 9, "Windows Server 2003, Datacenter x64 Edition"},
      {2, 0x0082, 9, "Windows Server 2003, Datacenter x64 Edition"},
      {2, 0x0002, 9, "Windows Server 2003, Enterprise x64 Edition"},
      {2, 0x0000, 9, "Windows Server 2003, Standard x64 Edition"},
      {2, 0x4000, 0, "Windows Server 2003, Compute Cluster Edition"},
      {2, 0x0080, 0, "Windows Server 2003, Datacenter Edition"},
      {2, 0x0002, 0, "Windows Server 2003, Enterprise Edition"},
      {2, 0x0400, 0, "Windows Server 2003, Web Edition"},
      {2, 0x0000, 0, "Windows Server 2003, Standard Edition"},
      {0, 0x0080, 0, "Windows 2000 Datacenter Server"},
      {0, 0x0082, 0, "Windows 2000 Datacenter Server"},
      {0, 0x0002, 0, "Windows 2000 Advanced Server"},
      {0, 0x0000, 0, "Windows 2000 Server"},
  };
  for (const Row& row : rows) {
    const VersionFacts server{.MajorVersion = 5,
                              .MinorVersion = row.minor,
                              .BuildNumber = 3790,
                              .PlatformId = 2,
                              .ServicePack = {},
                              .SuiteMask = row.suite,
                              .ProductType = 3,
                              .ProcessorArchitecture = row.processor};
    EXPECT_EQ(sysinfo::ComposeDescription(server).value_or("<none>"),
              "Microsoft " + row.product + " (build 3790)")
        << "5." << row.minor << ", suite " << row.suite << ", processor " << row.processor;
  }
  const VersionFacts workstation{.MajorVersion = 5,
                                 .MinorVersion = 0,
                                 .BuildNumber = 2195,
                                 .PlatformId = 2,
                                 .ServicePack = {},
                                 .SuiteMask = 0x0080,
                                 .ProductType = 1};
  EXPECT_EQ(sysinfo::ComposeDescription(workstation).value_or("<none>"),
            "Microsoft Windows 2000 Professional (build 2195)");
}

}  // namespace
