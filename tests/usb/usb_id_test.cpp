// USB IDs as users and selectors write them: "vvvv:pppp", four hexadecimal digits each.
#include <gtest/gtest.h>

#include "usb/driver.h"

namespace {

TEST(ParseUsbId, ReadsFourHexadecimalDigitsEachInEitherCase) {
  struct Row {
    const char* text;
    std::uint16_t vendor, product;
  };
  const Row rows[] = {
      {"04b4:1004", 0x04B4, 0x1004}, {"ABCD:EF09", 0xABCD, 0xEF09}, {"abcd:ef09", 0xABCD, 0xEF09},
      {"0000:0000", 0x0000, 0x0000}, {"FFFF:ffff", 0xFFFF, 0xFFFF}, {"9a0F:F0a9", 0x9A0F, 0xF0A9},
  };
  for (const Row& row : rows) {
    const std::optional<usb::UsbId> id = usb::ParseUsbId(row.text);
    ASSERT_TRUE(id.has_value()) << row.text;
    EXPECT_EQ(id->vendor, row.vendor) << row.text;
    EXPECT_EQ(id->product, row.product) << row.text;
  }
}

TEST(ParseUsbId, RefusesAnyOtherText) {
  for (const char* text : {"", "04b4:100", "04b4:10045", "4b4:10045", "04b41004", "04b4-1004", "04b4:g004",
                           "04G4:1004", "04b4:100/", "04b4:100:", " 4b4:1004", "0x04:1004", "04b4:1004 ",
                           "+4b4:1004", "-4b4:1004", "04b4:+004"})
    EXPECT_FALSE(usb::ParseUsbId(text).has_value()) << '"' << text << '"';
}

}  // namespace
