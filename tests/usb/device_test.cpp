// UsbDevice against the simulated module: the open walk, its variations and malformed descriptors.
#include <gtest/gtest.h>

#include "drivers/sim/sim_driver.h"
#include "usb/device.h"

namespace {

// Installs a simulated driver for the life of the object.
struct SimScope {
  explicit SimScope(sim::Options options = {}) : driver(std::move(options)) { usb::SetDriver(&driver); }
  ~SimScope() { usb::SetDriver(nullptr); }
  sim::SimDriver driver;
};

TEST(UsbDevice, OpensTheDefaultModule) {
  SimScope sim;
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_EQ(device.CountDevices(), 1);
  ASSERT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(usb::Utf16ToUtf8(device.SerialNumber.data(), device.SerialNumber.size()), "SIM-00000001");
  EXPECT_EQ(usb::Utf16ToUtf8(device.ProductString.data(), 128), "Simulated random-number module");
  EXPECT_TRUE(device.IsHighSpeed);
  EXPECT_EQ(device.DriverVersionCode, 0x01050500u);
  ASSERT_NE(device.BulkInEndPoint, nullptr);
  ASSERT_NE(device.BulkOutEndPoint, nullptr);
  EXPECT_EQ(device.BulkInEndPoint->bEndpointAddress, 0x86);
  EXPECT_EQ(device.BulkOutEndPoint->bEndpointAddress, 0x02);
  EXPECT_EQ(device.BulkInEndPoint->EffectiveMaxPacket, 512);
  EXPECT_EQ(device.ActiveEndPointCount(), 3);
  device.Close();
  EXPECT_EQ(sim.driver.OpenHandles(), 0u);
}

}  // namespace
