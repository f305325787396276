// UsbDevice against the simulated module: the open walk and its variations, malformed
// descriptors and the close errors.
#include <gtest/gtest.h>

#include <tuple>

#include "drivers/sim/sim_driver.h"
#include "usb/device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const usb::Guid& kGuid = usb::kModuleInterfaceGuid;

// Installs a simulated driver for the duration of a test.
struct SimScope {
  explicit SimScope(sim::Options options = {}) : driver(std::move(options)) { usb::SetDriver(&driver); }
  ~SimScope() { usb::SetDriver(nullptr); }
  sim::SimDriver driver;
};

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

std::string Text(const std::array<char16_t, usb::kStringUnits>& s) {
  return usb::Utf16ToUtf8(s.data(), s.size());
}

std::size_t EndpointObjects(const usb::UsbInterface& entry) {
  std::size_t n = 0;
  for (std::size_t slot = 1; slot < usb::kEndPointSlots; ++slot) n += entry.EndPoint(slot) != nullptr;
  return n;
}

// The first open of three modules, then module 1 without configuration or strings, module 2
// behind an old driver, and an index equal to the count.
TEST(UsbDevice, OpenWalksEveryStepWithExactRequestsThenOpensByIndex) {
  sim::Options three;
  three.modules.resize(3);
  three.modules[1].faults.strings_unreadable = true;
  three.modules[1].faults.config_unreadable = true;
  three.modules[2].driver_version = 0x01050400;
  SimScope sim(three);
  usb::UsbDevice device(nullptr, kGuid, true);
  ASSERT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(Text(device.SerialNumber), "SIM-00000001");
  EXPECT_EQ(device.ControlEndPoint->EffectiveMaxPacket, 64);
  EXPECT_EQ(device.ActiveInterface->EndPoint(0), device.ControlEndPoint);
  EXPECT_EQ(device.BulkInEndPoint->bEndpointAddress, 0x86);
  EXPECT_EQ(device.BulkInEndPoint->DirectIo, 1u);
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
  // GET_DESCRIPTOR of the device, 18 bytes within 5 s, the data right behind the header.
  Bytes device_read(56, 0);
  const Bytes setup{0x80, 6, 0, 1, 0, 0, 18, 0, 5};
  std::copy(setup.begin(), setup.end(), device_read.begin());
  device_read[30] = 38;
  device_read[34] = 18;
  EXPECT_EQ(requests[0].input, device_read);

  const usb::Handle first = device.DeviceHandle;
  EXPECT_TRUE(device.Open(0));  // opened twice in a row: the first handle is closed
  EXPECT_NE(device.DeviceHandle, first);
  EXPECT_EQ(sim.driver.OpenHandles(), 1u);
  // No configuration: open all the same, with no interface; unreadable strings keep their
  // earlier text.
  EXPECT_TRUE(device.Open(1));
  EXPECT_EQ(device.ActiveInterface, nullptr);
  EXPECT_EQ(std::string(device.DevicePath.data()), "sim:1");
  EXPECT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(device.idProduct, 0x0001);
  EXPECT_EQ(Text(device.SerialNumber), "SIM-00000001");
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.ActiveEndPointCount(), 0);
  EXPECT_TRUE(device.Open(2));
  EXPECT_EQ(device.BulkInEndPoint->DirectIo, 0u);  // below 1.5.5.0 the data travel in the request
  EXPECT_EQ(device.BulkOutEndPoint->DirectIo, 0u);
  EXPECT_FALSE(device.Open(3));  // index equal to the count
  EXPECT_EQ(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  device.Close();
  device.Close();  // repeated on a closed device: harmless
  EXPECT_EQ(sim.driver.OpenHandles(), 0u);
}

TEST(UsbDevice, LanguageTables) {
  const std::pair<std::vector<std::uint16_t>, std::uint16_t> cases[] = {
      {{0x0407, 0x0409}, 0x0409}, {{0x0407, 0x040C}, 0x0407}, {{}, 0}};
  for (const auto& [table, chosen] : cases) {
    sim::Options options;
    options.modules[0].languages = table;
    SimScope sim(options);
    usb::UsbDevice device(nullptr, kGuid, true);
    EXPECT_EQ(device.LanguageId, chosen);
    EXPECT_EQ(usb::ReadLe16(&sim.driver.Requests()[8].input[4]), chosen);  // the serial read's wIndex
    EXPECT_EQ(Text(device.SerialNumber), "SIM-00000001");
  }
}

// A simulated driver with device notifications whose releases can be refused (a refused close
// of the device itself is a run's test).
class Releasing final : public sim::SimDriver {
 public:
  Releasing() { usb::SetDriver(this); }
  ~Releasing() override { usb::SetDriver(nullptr); }
  bool handle_notice_fails = false, interface_notice_fails = false;
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
  auto device = std::make_unique<usb::UsbDevice>(&window, kGuid, true);
  ASSERT_NE(device->HandleNotification, nullptr);
  const usb::Handle handle = device->DeviceHandle;
  const std::tuple<bool Releasing::*, void (usb::UsbDevice::*)(), const char*> cases[] = {
      {&Releasing::handle_notice_fails, &usb::UsbDevice::Close,
       "Failed to close the handle notification handle."},
      {&Releasing::interface_notice_fails, &usb::UsbDevice::Destroy,
       "Failed to close the device notification handle."}};
  for (const auto& [fault, release, text] : cases) {
    EXPECT_EQ(device->DeviceHandle, handle);  // nothing released by a refused close
    driver.*fault = true;
    std::string what;
    try {
      ((*device).*release)();
    } catch (const usb::UsbCloseError& e) {
      what = e.what();
    }
    EXPECT_EQ(what, text);
    driver.*fault = false;
  }
  EXPECT_EQ(driver.OpenHandles(), 0u);
  driver.interface_notice_fails = true;
  device.reset();  // the destructor retries and swallows the failure
}

// The active entry, its first endpoint of each kind, and descriptor sets that must be read only
// within their bounds.
TEST(UsbDevice, DescriptorSetsAndTheActiveEntry) {
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
  const Bytes two_alts = Config({Iface(0, 0, 1), Ep(0x86, 2), Iface(0, 1, 2), Ep(0x81, 2), Ep(0x01, 2)});

  struct Case {
    const char* name;
    Bytes config;
    bool opened;            // a configuration with an entry was found (open either way)
    std::size_t entries;    // of the first configuration
    std::size_t endpoints;  // objects in its first entry
    int bulk_in;            // address of the bulk IN endpoint, -1 for none
    std::uint8_t alt = 0;   // the alternate setting the driver reports
  };
  const Case cases[] = {
      // An unknown kind (0x05) makes no object; of two bulk IN endpoints the first wins.
      {"first of each kind",
       Config(
           {Iface(0, 0, 6), Ep(0x83, 0x05), Ep(0x81, 2), Ep(0x86, 2), Ep(0x02, 2), Ep(0x84, 3), Ep(0x85, 1)}),
       true, 1, 5, 0x81},
      {"alternate setting 1", two_alts, true, 2, 1, 0x81, 1},
      {"alternate setting not found", two_alts, true, 2, 1, -1, 5},
      {"zero length", Config({Iface(0, 0, 2), Bytes{0, 5, 0x86, 2, 0, 2, 0}}), true, 1, 0, -1},
      {"zero length header", zero_header, false, 0, 0, -1},
      {"endpoint past the total", Config({Iface(0, 0, 1), Ep(0x86, 2)}, 22), true, 1, 0, -1},
      {"endpoint past the data", Config({Iface(0, 0, 1), Bytes{200, 5, 0x86, 2, 0, 2, 0}}), true, 1, 0, -1},
      {"truncated endpoint", Config({Iface(0, 0, 2), Bytes{5, 5, 0x86, 2, 0}, Ep(0x02, 2)}), true, 1, 1, -1},
      {"short interface", Config({Bytes{5, 4, 0, 0, 1}, Ep(0x86, 2)}), false, 0, 0, -1},
      {"total shorter than the header", Config({Iface(0, 0, 1), Ep(0x86, 2)}, 4), false, 0, 0, -1},
      {"total beyond the data", Config({Iface(0, 0, 1), Ep(0x86, 2)}, 300), false, 0, 0, -1},
      {"endpoint count beyond the data", Config({Iface(0, 0, 255), Ep(0x86, 2), Ep(0x02, 2)}), true, 1, 2,
       0x86},
      {"nine interfaces", Config(nine_interfaces), true, 8, 0, -1},
      {"sixteen endpoints", Config(sixteen_endpoints), true, 1, 15, 0x81},
      {"eleven passed over", Config(eleven_others), true, 1, 1, 0x86},
      {"twelve passed over", Config(twelve_others), true, 1, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Options options;
    options.modules[0].config_descriptors = {c.config};
    options.modules[0].alt_setting = c.alt;
    SimScope sim(options);
    usb::UsbDevice device(nullptr, kGuid, false);
    EXPECT_TRUE(device.Open(0));
    EXPECT_NE(device.DeviceHandle, usb::kInvalidHandle);
    const auto& configuration = device.Configurations[0];
    EXPECT_EQ(configuration && configuration->Interfaces[0], c.opened);
    EXPECT_EQ(configuration ? configuration->InterfaceEntryCount : 0u, c.entries);
    if (c.entries > 0) {
      EXPECT_EQ(EndpointObjects(*configuration->Interfaces[0]), c.endpoints);
    }
    EXPECT_EQ(device.BulkInEndPoint ? device.BulkInEndPoint->bEndpointAddress : -1, c.bulk_in);
    device.Close();
  }
  // More configurations than the model holds: two are read, the rest ignored.
  sim::Options many;
  many.modules[0].device_descriptor = sim::DefaultDeviceDescriptor();
  many.modules[0].device_descriptor[17] = 5;
  many.modules[0].config_descriptors.assign(5, sim::DefaultConfigDescriptor());
  SimScope sim(many);
  usb::UsbDevice device(nullptr, kGuid, true);
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
