// Opening the one module: what the runs cannot see (result codes, key reads, the link's state and
// the handles after each outcome). The refusals' texts are the end-to-end runs' to check.
#include <gtest/gtest.h>

#include <new>

#include "console/catalogue.h"
#include "drivers/sim/sim_driver.h"
#include "protocol/device_link.h"
#include "support/test_support.h"

namespace {

struct Exhausted : sim::SimDriver {
  using SimDriver::SimDriver;
  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&, std::span<const usb::UsbId>) override {
    throw std::bad_alloc();
  }
};

TEST(DeviceLinkTest, EveryOutcomeLeavesTheLinkAndHandlesConsistent) {
  testing_support::ScratchDir dir;
  testing_support::WriteFile(dir / "lang.INI", "[F006]\nS001=no device object\n");
  console::SetCataloguePath(dir / "lang.INI");
  struct Case {
    const char* name;
    std::string sim;
    std::int32_t result;
    int keys;
    int unit = 0;  // the transfer unit of an opened link
    bool exhausted = false;
  };
  const Case cases[] = {
      {"opened", "", 0, 0, 2048},
      {"full speed", "speed=full", 0, 0, 64},
      {"two modules", "devices=2", 52, 1},
      {"no bulk in", "no_bulk_in", 89, 0},
      {"no device object", "", 46, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    sim::Options options = sim::ParseOptions(c.sim, error).value();
    const auto driver = c.exhausted ? std::make_unique<Exhausted>(std::move(options))
                                    : std::make_unique<sim::SimDriver>(std::move(options));
    usb::SetDriver(driver.get());
    testing_support::CapturedConsole console;
    EXPECT_EQ(protocol::OpenDeviceLink(), c.result);
    EXPECT_EQ(console.keys_read, c.keys);
    const auto& link = protocol::DeviceLink();
    EXPECT_EQ(link.module != nullptr, c.result == 0);
    EXPECT_EQ(link.BulkIn != nullptr && link.BulkOut != nullptr, c.result == 0);
    EXPECT_EQ(link.TransferUnit, c.unit);
    EXPECT_EQ(console.out == "\nno device object", c.exhausted);
    protocol::CloseDeviceLink();
    protocol::CloseDeviceLink();  // a second close does nothing
    EXPECT_EQ(link.module, nullptr);
    EXPECT_EQ(driver->OpenHandles(), 0u);
    usb::SetDriver(nullptr);
  }
  console::SetCataloguePath("");
}

}  // namespace
