// Opening the one module: the count, the identification line, the endpoints and every refusal.
#include <gtest/gtest.h>

#include <cstring>
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

class DeviceLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(
        dir / "lang.INI",
        "[F006]\nS001=no device object\nS002=no module\nS003=several modules\nS005=Module: ;\nS006=driver\n"
        "S007=no bulk in\nS008=no bulk out\n");
    console::SetCataloguePath(dir / "lang.INI");
  }
  void TearDown() override {
    protocol::CloseDeviceLink();
    usb::SetDriver(nullptr);
  }

  // `exhausted`: memory runs out while the device object is made (at its first device list).
  std::int32_t Open(sim::Options options, bool exhausted = false) {
    driver = exhausted ? std::make_unique<Exhausted>(std::move(options))
                       : std::make_unique<sim::SimDriver>(std::move(options));
    usb::SetDriver(driver.get());
    console.out.clear();
    console.keys_read = 0;
    return protocol::OpenDeviceLink();
  }

  testing_support::ScratchDir dir;
  testing_support::CapturedConsole console;
  std::unique_ptr<sim::SimDriver> driver;
};

TEST_F(DeviceLinkTest, IdentifiesTheModuleAndTakesItsBulkPipes) {
  sim::Options options;
  options.modules[0].driver_version = 0x01020304;
  options.modules[0].device_descriptor = sim::DefaultDeviceDescriptor();
  options.modules[0].device_descriptor[8] = 0x0B;  // idVendor 0x0A0B
  options.modules[0].device_descriptor[9] = 0x0A;
  ASSERT_EQ(Open(options), 0);
  EXPECT_EQ(console.out,
            "\nModule: USB 2.0;driver 1.2.3.4;\n  VendorID=0a0bh;ProductID=0001h;SerialNumber=SIM-00000001");
  const auto& link = protocol::DeviceLink();
  EXPECT_EQ(link.TransferUnit, 2048);
  ASSERT_NE(link.BulkIn, nullptr);
  ASSERT_NE(link.BulkOut, nullptr);
  EXPECT_EQ(link.BulkIn->bEndpointAddress, 0x86);
  EXPECT_EQ(link.BulkOut->bEndpointAddress, 0x02);
  EXPECT_EQ(link.BulkIn->TimeoutMs, 9000u);
  EXPECT_EQ(link.BulkOut->TimeoutMs, 9000u);
  EXPECT_EQ(console.keys_read, 0);

  protocol::CloseDeviceLink();
  protocol::CloseDeviceLink();  // a second close does nothing
  EXPECT_EQ(protocol::DeviceLink().module, nullptr);
  EXPECT_EQ(driver->OpenHandles(), 0u);

  options = {};
  options.modules[0].high_speed = false;
  ASSERT_EQ(Open(options), 0);
  EXPECT_NE(console.out.find("USB 1.1;"), std::string::npos);
  EXPECT_EQ(protocol::DeviceLink().TransferUnit, 64);
}

TEST_F(DeviceLinkTest, EveryRefusalLeavesTheLinkEmpty) {
  struct Case {
    const char* name;
    sim::Options options;
    std::int32_t result;
    const char* printed;
    int keys;
    bool exhausted = false;
  };
  sim::Options none;
  none.modules.clear();
  sim::Options two;
  two.modules.resize(2);
  sim::Options open_fails;
  open_fails.modules[0].faults.open_fails = true;
  sim::Options no_in;
  no_in.modules[0].faults.no_bulk_in = true;
  sim::Options no_out;
  no_out.modules[0].faults.no_bulk_out = true;
  const Case cases[] = {
      {"no module", none, 50, "\nno module", 1},
      {"two modules", two, 52, "\nseveral modules", 1},
      {"cannot open", open_fails, 5, "", 0},
      {"no bulk in", no_in, 89, "\nno bulk in", 0},
      {"no bulk out", no_out, 94, "\nno bulk out", 0},
      {"no device object", {}, 46, "\nno device object", 0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Open(c.options, c.exhausted), c.result) << c.name;
    const std::string& out = console.out;
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), std::strlen(c.printed))), c.printed) << c.name;
    EXPECT_EQ(console.keys_read, c.keys) << c.name;
    const auto& link = protocol::DeviceLink();
    EXPECT_EQ(link.module, nullptr) << c.name;
    EXPECT_EQ(link.BulkIn, nullptr) << c.name;
    EXPECT_EQ(link.BulkOut, nullptr) << c.name;
    EXPECT_EQ(driver->OpenHandles(), 0u) << c.name;
  }
}

}  // namespace
