// UsbDevice against the simulated module: the open walk, its variations and malformed descriptors.
#include <gtest/gtest.h>

#include "sim_scope.h"
#include "usb/device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Iface(std::uint8_t number, std::uint8_t alt, std::uint8_t endpoints) {
  return {9, 4, number, alt, endpoints, 0xFF, 0, 0, 0};
}
Bytes Ep(std::uint8_t address, std::uint8_t attributes) {
  return {7, 5, address, attributes, 0, 2, 0};
}

// A configuration descriptor around `parts`; `total` overrides wTotalLength.
Bytes Config(const std::vector<Bytes>& parts, int total = -1) {
  Bytes d{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const Bytes& p : parts) d.insert(d.end(), p.begin(), p.end());
  usb::WriteLe16(&d[2], static_cast<std::uint16_t>(total < 0 ? d.size() : static_cast<std::size_t>(total)));
  return d;
}

sim::ModuleConfig WithConfig(Bytes config) {
  sim::ModuleConfig m;
  m.config_descriptors = {std::move(config)};
  return m;
}

std::string Text(const std::array<char16_t, usb::kStringUnits>& s) {
  return usb::Utf16ToUtf8(s.data(), s.size());
}

std::size_t EndpointObjects(const usb::UsbInterface& entry) {
  std::size_t n = 0;
  for (std::size_t slot = 1; slot < usb::kEndPointSlots; ++slot) n += entry.EndPoint(slot) != nullptr;
  return n;
}

TEST(UsbDevice, OpenWalksEveryStepInOrderWithExactDescriptorReads) {
  SimScope sim;
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  ASSERT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(std::string(device.DevicePath.data()), "sim:0");
  EXPECT_EQ(Text(device.SerialNumber), "SIM-00000001");
  EXPECT_EQ(Text(device.ProductString), "Simulated random-number module");
  EXPECT_EQ(device.LanguageId, 0x0409);
  EXPECT_TRUE(device.IsHighSpeed);
  EXPECT_EQ(device.DriverVersionCode, 0x01050500u);
  EXPECT_EQ(device.ControlEndPoint->EffectiveMaxPacket, 64);
  EXPECT_EQ(device.ActiveInterface->EndPoint(0), device.ControlEndPoint);
  EXPECT_EQ(device.BulkInEndPoint->bEndpointAddress, 0x86);
  EXPECT_EQ(device.BulkOutEndPoint->bEndpointAddress, 0x02);
  EXPECT_EQ(device.ActiveEndPointCount(), 3);

  const auto requests = sim.driver.Requests();
  // Device descriptor, language table twice, three strings twice each, six informational
  // requests, the configuration twice, the alternate setting.
  const std::vector<std::pair<std::uint32_t, std::size_t>> expected = {
      {0x220020, 56},  {0x220020, 40},      {0x220020, 42}, {0x220020, 40},      {0x220020, 38 + 30},
      {0x220020, 40},  {0x220020, 38 + 62}, {0x220020, 40}, {0x220020, 38 + 26}, {0x220010, 1},
      {0x22003C, 256}, {0x220040, 256},     {0x220000, 4},  {0x220004, 4},       {0x22004C, 4},
      {0x220020, 47},  {0x220020, 38 + 32}, {0x220008, 1}};
  ASSERT_EQ(requests.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(requests[i].code, expected[i].first) << i;
    EXPECT_EQ(requests[i].input.size(), expected[i].second) << i;
    EXPECT_EQ(requests[i].output_size, expected[i].second) << i;
    EXPECT_FALSE(requests[i].overlapped);
  }
  Bytes device_read(56, 0);
  device_read[0] = 0x80;
  device_read[1] = 6;
  device_read[3] = 1;
  device_read[6] = 18;
  device_read[8] = 5;
  device_read[30] = 38;
  device_read[34] = 18;
  EXPECT_EQ(requests[0].input, device_read);
  EXPECT_EQ(usb::ReadLe16(&requests[8].input[2]), 0x0303);  // serial string, in English
  EXPECT_EQ(usb::ReadLe16(&requests[8].input[4]), 0x0409);
  EXPECT_EQ(usb::ReadLe16(&requests[16].input[2]), 0x0200);
  EXPECT_EQ(usb::ReadLe16(&requests[16].input[6]), 32);
  device.Close();
  EXPECT_EQ(sim.driver.OpenHandles(), 0u);
}

TEST(UsbDevice, AssignsTheFirstEndpointOfEachKind) {
  // An unknown kind (0x05) makes no object; of two bulk IN endpoints the first wins.
  SimScope sim(WithConfig(Config(
      {Iface(0, 0, 6), Ep(0x83, 0x05), Ep(0x81, 2), Ep(0x86, 2), Ep(0x02, 2), Ep(0x84, 3), Ep(0x85, 1)})));
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_EQ(device.ActiveInterface->EndPoint(1), nullptr);
  EXPECT_EQ(device.BulkInEndPoint->bEndpointAddress, 0x81);
  EXPECT_EQ(device.BulkOutEndPoint->bEndpointAddress, 0x02);
  EXPECT_EQ(device.InterruptInEndPoint->bEndpointAddress, 0x84);
  EXPECT_EQ(device.IsocInEndPoint->bEndpointAddress, 0x85);
  EXPECT_EQ(device.InterruptOutEndPoint, nullptr);
  EXPECT_EQ(device.ActiveEndPointCount(), 7);
}

TEST(UsbDevice, AlternateSettingsAndOldDrivers) {
  const Bytes config = Config({Iface(0, 0, 1), Ep(0x86, 2), Iface(0, 1, 2), Ep(0x81, 2), Ep(0x01, 2)});
  sim::ModuleConfig module = WithConfig(config);
  module.alt_setting = 1;
  module.driver_version = 0x01050400;
  {
    SimScope sim(module);
    usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
    EXPECT_EQ(device.InterfaceIndex, 1);
    EXPECT_EQ(device.Configurations[0]->Interfaces[0]->AltSettingCount, 2);
    EXPECT_EQ(device.BulkInEndPoint->bEndpointAddress, 0x81);
    EXPECT_EQ(device.BulkInEndPoint->DirectIo, 0u);  // below 1.5.5.0 data travel in the request
    EXPECT_EQ(device.BulkOutEndPoint->DirectIo, 0u);
  }
  module.alt_setting = 5;  // no entry has it: nothing becomes active, Open still finds a configuration
  SimScope sim(module);
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, false);
  EXPECT_TRUE(device.Open(0));
  EXPECT_EQ(device.ActiveInterface, nullptr);
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.ActiveEndPointCount(), 0);
}

TEST(UsbDevice, LanguageTables) {
  const std::pair<std::vector<std::uint16_t>, std::uint16_t> cases[] = {
      {{0x0407, 0x0409}, 0x0409}, {{0x0407, 0x040C}, 0x0407}, {{}, 0}};
  for (const auto& [table, chosen] : cases) {
    sim::ModuleConfig module;
    module.languages = table;
    SimScope sim(module);
    usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
    EXPECT_EQ(device.LanguageId, chosen);
    EXPECT_EQ(usb::ReadLe16(&sim.driver.Requests()[8].input[4]), chosen);  // the serial read's wIndex
    EXPECT_EQ(Text(device.SerialNumber), "SIM-00000001");
  }
}

TEST(UsbDevice, FailedReadsKeepOrClearTheirValues) {
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, false);
  {
    SimScope sim;
    ASSERT_TRUE(device.Open(0));
    device.Close();
  }
  sim::ModuleConfig module;
  module.faults.strings_unreadable = true;
  module.faults.config_unreadable = true;
  SimScope sim(module);
  // No configuration: false, but the device is open and its descriptor was read.
  EXPECT_FALSE(device.Open(0));
  EXPECT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(device.idProduct, 0x0001);
  EXPECT_EQ(Text(device.SerialNumber), "SIM-00000001");  // kept from the earlier open
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.ActiveEndPointCount(), 0);
  device.Close();
  EXPECT_EQ(sim.driver.OpenHandles(), 0u);
}

TEST(UsbDevice, CountingOpeningByIndexAndReopening) {
  sim::Options two;
  two.modules.resize(2);
  SimScope sim(two);
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  const usb::Handle first = device.DeviceHandle;
  EXPECT_TRUE(device.Open(0));  // opened twice in a row: the first handle is closed
  EXPECT_NE(device.DeviceHandle, first);
  EXPECT_TRUE(device.Open(1));
  EXPECT_EQ(std::string(device.DevicePath.data()), "sim:1");
  EXPECT_EQ(sim.driver.OpenHandles(), 1u);
  EXPECT_FALSE(device.Open(2));  // index equal to the count
  EXPECT_EQ(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.ActiveEndPointCount(), 0);
  device.Close();  // repeated on a closed device: harmless
  EXPECT_EQ(sim.driver.OpenHandles(), 0u);
  usb::SelectedModuleIds() = {{0x1234, 0x0001}};
  EXPECT_EQ(device.CountDevices(), 0);
  usb::SelectedModuleIds() = {{0x1209, 0x0001}};
  EXPECT_EQ(device.CountDevices(), 2);
  usb::SelectedModuleIds().clear();
  EXPECT_EQ(usb::UsbDevice(nullptr, usb::Guid{1, 2, 3, {}}, false).CountDevices(), 0);

  sim::Options none, unlisted, unopenable;
  none.modules.clear();
  unlisted.list_unavailable = true;
  unopenable.modules[0].faults.open_fails = true;
  for (const sim::Options& options : {none, unlisted, unopenable}) {
    SimScope other(options);
    usb::UsbDevice closed(nullptr, usb::kModuleInterfaceGuid, true);
    EXPECT_EQ(closed.DeviceHandle, usb::kInvalidHandle);
  }
}

// A simulated driver with device notifications whose releases can be refused.
class Releasing final : public sim::SimDriver {
 public:
  Releasing() { usb::SetDriver(this); }
  ~Releasing() override { usb::SetDriver(nullptr); }
  bool close_fails = false, handle_notice_fails = false, interface_notice_fails = false;
  bool Close(usb::Handle h) override { return !close_fails && SimDriver::Close(h); }
  usb::NotificationHandle RegisterInterfaceNotification(usb::WindowHandle, const usb::Guid&) override {
    return &interface_notice_;
  }
  usb::NotificationHandle RegisterHandleNotification(usb::WindowHandle, usb::Handle) override {
    return &handle_notice_;
  }
  bool UnregisterNotification(usb::NotificationHandle n) override {
    return n == &handle_notice_ ? !handle_notice_fails : !interface_notice_fails;
  }

 private:
  int interface_notice_ = 0, handle_notice_ = 0;
};

TEST(UsbDevice, CloseAndDestroyReportRefusedReleases) {
  Releasing driver;
  int window = 0;
  auto device = std::make_unique<usb::UsbDevice>(&window, usb::kModuleInterfaceGuid, true);
  ASSERT_NE(device->InterfaceNotification, nullptr);
  ASSERT_NE(device->HandleNotification, nullptr);
  const usb::Handle handle = device->DeviceHandle;
  const std::pair<bool Releasing::*, const char*> cases[] = {
      {&Releasing::handle_notice_fails, "Failed to close the handle notification handle."},
      {&Releasing::close_fails, "Failed to close handle to driver."}};
  for (const auto& [fault, text] : cases) {
    driver.*fault = true;
    try {
      device->Close();
      ADD_FAILURE() << "no error for " << text;
    } catch (const usb::UsbCloseError& e) {
      EXPECT_STREQ(e.what(), text);
    }
    driver.*fault = false;
    EXPECT_EQ(device->DeviceHandle, handle);  // nothing released
    EXPECT_NE(device->BulkInEndPoint, nullptr);
  }
  device->Close();
  EXPECT_EQ(driver.OpenHandles(), 0u);
  driver.interface_notice_fails = true;
  EXPECT_THROW(device->Destroy(), usb::UsbCloseError);
  device.reset();  // the destructor retries and swallows the failure
}

TEST(UsbDevice, MalformedDescriptorSetsAreReadOnlyWithinBounds) {
  std::vector<Bytes> nine_interfaces, sixteen_endpoints{Iface(0, 0, 16)}, eleven_others{Iface(0, 0, 1)};
  for (std::uint8_t i = 0; i < 9; ++i) nine_interfaces.push_back(Iface(i, 0, 0));
  for (std::uint8_t i = 0; i < 16; ++i)
    sixteen_endpoints.push_back(Ep(static_cast<std::uint8_t>(0x81 + i), 2));
  for (int i = 0; i < 11; ++i) eleven_others.push_back({3, 0x24, 0});
  std::vector<Bytes> twelve_others = eleven_others;
  twelve_others.push_back({3, 0x24, 0});
  eleven_others.push_back(Ep(0x86, 2));
  twelve_others.push_back(Ep(0x86, 2));
  Bytes zero_header = Config({Iface(0, 0, 1), Ep(0x86, 2)});
  zero_header[0] = 0;

  struct Case {
    const char* name;
    Bytes config;
    bool opened;            // a configuration with an entry was found
    std::size_t entries;    // of the first configuration
    std::size_t endpoints;  // objects in its first entry
  };
  const Case cases[] = {
      {"zero length", Config({Iface(0, 0, 2), Bytes{0, 5, 0x86, 2, 0, 2, 0}}), true, 1, 0},
      {"zero length header", zero_header, false, 0, 0},
      {"endpoint past the total", Config({Iface(0, 0, 1), Ep(0x86, 2)}, 22), true, 1, 0},
      {"endpoint past the data", Config({Iface(0, 0, 1), Bytes{200, 5, 0x86, 2, 0, 2, 0}}), true, 1, 0},
      {"truncated endpoint", Config({Iface(0, 0, 2), Bytes{5, 5, 0x86, 2, 0}, Ep(0x02, 2)}), true, 1, 1},
      {"short interface", Config({Bytes{5, 4, 0, 0, 1}, Ep(0x86, 2)}), false, 0, 0},
      {"total shorter than the header", Config({Iface(0, 0, 1), Ep(0x86, 2)}, 4), false, 0, 0},
      {"total beyond the data", Config({Iface(0, 0, 1), Ep(0x86, 2)}, 300), false, 0, 0},
      {"endpoint count beyond the data", Config({Iface(0, 0, 255), Ep(0x86, 2), Ep(0x02, 2)}), true, 1, 2},
      {"nine interfaces", Config(nine_interfaces), true, 8, 0},
      {"sixteen endpoints", Config(sixteen_endpoints), true, 1, 15},
      {"eleven passed over", Config(eleven_others), true, 1, 1},
      {"twelve passed over", Config(twelve_others), true, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimScope sim(WithConfig(c.config));
    usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, false);
    EXPECT_EQ(device.Open(0), c.opened);
    EXPECT_NE(device.DeviceHandle, usb::kInvalidHandle);
    const auto& configuration = device.Configurations[0];
    EXPECT_EQ(configuration ? configuration->InterfaceEntryCount : 0u, c.entries);
    if (c.entries > 0) {
      EXPECT_EQ(EndpointObjects(*configuration->Interfaces[0]), c.endpoints);
    }
    device.Close();
  }
  // More configurations than the model holds: two are read, the rest ignored.
  sim::ModuleConfig many;
  many.device_descriptor = sim::DefaultDeviceDescriptor();
  many.device_descriptor[17] = 5;
  many.config_descriptors.assign(5, sim::DefaultConfigDescriptor());
  SimScope sim(many);
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_NE(device.Configurations[1], nullptr);
  EXPECT_NE(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(sim.driver.Requests().size(), 20u);
}

TEST(Utf16ToUtf8, PairsLoneSurrogatesAndCapacity) {
  const char16_t text[] = {u'A', 0x00E9, 0xD83D, 0xDE00, 0xDC00, u'z', 0xD800};
  EXPECT_EQ(usb::Utf16ToUtf8(text, 7), "A\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(usb::Utf16ToUtf8(text, 1), "A");  // no terminator needed within the capacity
}

}  // namespace
