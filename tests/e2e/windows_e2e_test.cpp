// The Windows programs as a user meets them: names in any script on the command line, and the
// real program finding no module where no vendor driver is installed (always so under Wine).
#ifdef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "drivers/sim/sim_driver.h"
#include "platform/windows/wide_entry.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramResult;

TEST(WindowsPrograms, UnicodeNamesReachTheFilesAndTheOutputUnchanged) {
  testing_support::ScratchDir dir;
  const std::string program = testing_support::InstallProgram(RNGACQ_SIM_PROGRAM, dir.path().string(), true);
  const std::string name =
      "Gr\xC3\xBC\xC3\x9F"
      "e-\xCE\xA9-\xF0\x9F\x8E\xB2";
  const ProgramResult r =
      testing_support::RunProgram(program, {name + ".bin", "/LEN=3000"}, dir.path().string());
  ASSERT_EQ(r.exit_code, 0) << r.out;
  // Redirected output keeps the program's UTF-8; the files carry the name as UTF-16.
  EXPECT_NE(r.out.find(name + ".bin"), std::string::npos) << r.out;
  const fs::path data = dir.path() / platform::Widen(name + ".bin");
  const fs::path log = dir.path() / platform::Widen(name + ".wrn");
  ASSERT_TRUE(fs::exists(data));
  EXPECT_EQ(fs::file_size(data), 3000u);
  const auto expected = sim::ExpectedRecord(1, 0, 3000);
  std::ifstream in(data, std::ios::binary);  // by path: a narrow name could not spell it
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(bytes == std::string(expected.begin(), expected.end()));
  EXPECT_TRUE(fs::exists(log));
}

TEST(WindowsPrograms, WithoutTheVendorDriverNoModuleIsFound) {
  testing_support::ScratchDir dir;
  const std::string program = testing_support::InstallProgram(RNGACQ_PROGRAM, dir.path().string(), true);
  const ProgramResult r = testing_support::RunProgram(program, {"x.bin", "/LEN=10"}, dir.path().string());
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_NE(r.out.find("\nNo random-number module is attached."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("...press any key to exit."), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir.path() / "x.bin"));
  EXPECT_FALSE(fs::exists(dir.path() / "x.wrn"));
}

}  // namespace
#endif
