// The identification the C interface hands out: texts longer than their fields are cut at a
// whole character and always end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/library_provider.h"
#include "drivers/sim/sim_driver.h"
#include "rngacq/rngacq.h"
#include "usb/vendor_provider.h"

namespace {

std::string Repeated(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The only module's identification as rngacq_list gives it.
rngacq_module_info ListedWith(const std::string& product, const std::string& serial) {
  sim::Options options;
  options.modules[0].product = product;
  options.modules[0].serial = serial;
  sim::SimDriver driver(options);
  usb::VendorDriverProvider provider(driver);
  core::SetLibraryProvider(&provider);
  rngacq_module_info info;
  std::memset(&info, 0x55, sizeof info);  // a missing end shows as 0x55
  std::size_t count = 0;
  EXPECT_EQ(rngacq_list(&info, 1, &count), 0);
  EXPECT_EQ(count, 1u);
  core::SetLibraryProvider(nullptr);
  return info;
}

TEST(Identification, TextsLongerThanTheirFieldAreCutAtAWholeCharacter) {
  // 126 characters are the most a string descriptor holds; in UTF-8 they may need 378 bytes.
  const rngacq_module_info two_byte = ListedWith(Repeated("\xC3\xA9", 100), Repeated("S", 126));
  EXPECT_EQ(std::string(two_byte.product), Repeated("\xC3\xA9", 63))
      << "127 bytes would end inside a character";
  EXPECT_EQ(std::string(two_byte.serial), Repeated("S", 126));
  const rngacq_module_info three_byte =
      ListedWith(Repeated("\xE2\x82\xAC", 100), Repeated("\xE2\x82\xAC", 5));
  EXPECT_EQ(std::string(three_byte.product), Repeated("\xE2\x82\xAC", 42));
  EXPECT_EQ(std::string(three_byte.serial), Repeated("\xE2\x82\xAC", 5));
}

}  // namespace
