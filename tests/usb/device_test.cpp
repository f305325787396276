// UsbDevice on the simulated module (the open walk, malformed descriptors, close errors), and
// endpoint transfers: the exact request bytes that reach the driver and how results come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "drivers/sim/sim_driver.h"
#include "support/test_support.h"
#include "usb/device.h"
#include "usb/endpoint.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::SameBytes;

struct SimScope {
  explicit SimScope(sim::Options options = {}) : driver(std::move(options)) {}
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

// A request header: `setup` from its first byte, these fields, the rest zero; then `tail`.
Bytes Header(const Bytes& setup, std::uint8_t endpoint, std::uint32_t data_offset, std::uint32_t data_length,
             std::uint32_t table_length = 0, const Bytes& tail = {}) {
  Bytes h(38, 0);
  std::copy(setup.begin(), setup.end(), h.begin());
  h[13] = endpoint;
  usb::WriteLe32(&h[22], table_length ? 38 : 0);
  usb::WriteLe32(&h[26], table_length);
  usb::WriteLe32(&h[30], data_offset);
  usb::WriteLe32(&h[34], data_length);
  h.resize(38 + table_length, 0);
  h.insert(h.end(), tail.begin(), tail.end());
  return h;
}

std::string Serial(const usb::UsbDevice& device) {
  return usb::Utf16ToUtf8(device.SerialNumber.data(), usb::kStringUnits);
}

// The first open of three modules, then module 1 without configuration or strings, module 2
// behind an old driver, and an index equal to the count.
TEST(UsbDevice, OpenWalksEveryStepWithExactRequestsThenOpensByIndex) {
  sim::Options three;
  three.modules.resize(3);
  three.modules[1].faults.strings_unreadable = three.modules[1].faults.config_unreadable = true;
  three.modules[2].driver_version = 0x01050400;
  SimScope sim(three);
  usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, true);
  ASSERT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(Serial(device), "SIM-00000001");
  EXPECT_EQ(device.ControlEndPoint->EffectiveMaxPacket, 64);
  EXPECT_EQ(device.ActiveInterface->EndPoint(0), device.ControlEndPoint);
  EXPECT_EQ(device.BulkInEndPoint->bEndpointAddress, 0x86);
  EXPECT_EQ(device.BulkInEndPoint->DirectIo, 1u);
  EXPECT_EQ(device.BulkOutEndPoint->bEndpointAddress, 0x02);
  EXPECT_EQ(device.ActiveEndPointCount(), 3);

  // Device descriptor, language table twice, three strings twice each, six informational
  // requests, the configuration twice, the alternate setting.
  const std::vector<std::pair<std::uint32_t, std::size_t>> expected = {
      {0x220020, 56},  {0x220020, 40},      {0x220020, 42}, {0x220020, 40},      {0x220020, 38 + 30},
      {0x220020, 40},  {0x220020, 38 + 62}, {0x220020, 40}, {0x220020, 38 + 26}, {0x220010, 1},
      {0x22003C, 256}, {0x220040, 256},     {0x220000, 4},  {0x220004, 4},       {0x22004C, 4},
      {0x220020, 47},  {0x220020, 38 + 32}, {0x220008, 1}};
  std::vector<std::pair<std::uint32_t, std::size_t>> sizes;  // 0: overlapped, or room unlike the request
  for (const auto& [code, overlapped, in, out] : sim.driver.Requests())
    sizes.emplace_back(code, overlapped || out != in.size() ? 0 : out);
  EXPECT_EQ(sizes, expected);
  // GET_DESCRIPTOR of the device, 18 bytes within 5 s, the data right behind the header.
  EXPECT_TRUE(SameBytes(sim.driver.Requests().at(0).input,
                        Header({0x80, 6, 0, 1, 0, 0, 18, 0, 5}, 0, 38, 18, 0, Bytes(18))));

  const usb::Handle first = device.DeviceHandle;
  EXPECT_TRUE(device.Open(0));  // opened twice in a row: the first handle is closed
  EXPECT_NE(device.DeviceHandle, first);
  EXPECT_EQ(sim.driver.OpenHandles(), 1u);
  // No configuration: open all the same, no interface; unreadable strings keep their earlier text.
  EXPECT_TRUE(device.Open(1));
  EXPECT_NE(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(device.ActiveInterface, nullptr);
  EXPECT_STREQ(device.DevicePath.data(), "sim:1");
  EXPECT_EQ(device.idProduct, 0x0001);
  EXPECT_EQ(Serial(device), "SIM-00000001");
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.ActiveEndPointCount(), 0);
  EXPECT_TRUE(device.Open(2));  // below 1.5.5.0 the data travel in the request
  EXPECT_EQ(device.BulkInEndPoint->DirectIo, 0u);
  EXPECT_EQ(device.BulkOutEndPoint->DirectIo, 0u);
  device.Close();
  // Closed, the device leaves no endpoint behind to be used, nor a count from its descriptors.
  EXPECT_EQ(device.ControlEndPoint, nullptr);
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.BulkOutEndPoint, nullptr);
  EXPECT_EQ(int{device.bNumConfigurations}, 0);
  EXPECT_EQ(int{device.bNumInterfaces}, 0);
  EXPECT_EQ(int{device.InterfaceEntryCount}, 0);
  EXPECT_TRUE(device.Open(2));
  EXPECT_FALSE(device.Open(3));  // index equal to the count
  EXPECT_EQ(device.DeviceHandle, usb::kInvalidHandle);
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  device.Close();
  device.Close();  // repeated on a closed device: harmless
  EXPECT_EQ(sim.driver.OpenHandles(), 0u);
}

TEST(UsbDevice, LanguageTables) {
  // A descriptor holds at most 126 entries: the 127th of a longer table is not offered.
  std::vector<std::uint16_t> longest(126, 0x0407), too_long(127, 0x0407);
  longest.back() = too_long.back() = 0x0409;
  const std::pair<std::vector<std::uint16_t>, std::uint16_t> cases[] = {
      {{0x0407, 0x0409}, 0x0409}, {{0x0407, 0x040C}, 0x0407}, {{}, 0}, {longest, 0x0409}, {too_long, 0x0407}};
  for (const auto& [table, chosen] : cases) {
    SCOPED_TRACE(::testing::Message() << "a table of " << table.size() << " languages");
    sim::Options options;
    options.modules[0].languages = table;
    SimScope sim(options);
    usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, true);
    const std::uint16_t serial_language = usb::ReadLe16(&sim.driver.Requests()[8].input[4]);  // its wIndex
    EXPECT_EQ(device.LanguageId, chosen);
    EXPECT_EQ(serial_language, chosen);
    EXPECT_EQ(Serial(device), "SIM-00000001");
  }
}

// Device notifications whose releases can be refused (a refused device close is a run's test).
class Releasing final : public sim::SimDriver {
 public:
  bool handle_notice_fails = false, interface_notice_fails = false;  // their addresses are the handles
  usb::NotificationHandle RegisterInterfaceNotification(usb::WindowHandle, const usb::Guid&) override {
    return &interface_notice_fails;
  }
  usb::NotificationHandle RegisterHandleNotification(usb::WindowHandle, usb::Handle) override {
    return &handle_notice_fails;
  }
  bool UnregisterNotification(usb::NotificationHandle n) override { return !*static_cast<bool*>(n); }
};

TEST(UsbDevice, CloseAndDestroyReportRefusedReleases) {
  Releasing driver;
  int window = 0;
  auto device = std::make_unique<usb::UsbDevice>(driver, &window, usb::kModuleInterfaceGuid, true);
  ASSERT_NE(device->HandleNotification, nullptr);
  const usb::Handle handle = device->DeviceHandle;
  const auto refusal = [&](void (usb::UsbDevice::*release)()) {
    try {
      ((*device).*release)();
    } catch (const usb::UsbCloseError& e) {
      return std::string(e.what());
    }
    return std::string("released");
  };
  driver.handle_notice_fails = true;
  EXPECT_EQ(refusal(&usb::UsbDevice::Close), "Failed to close the handle notification handle.");
  EXPECT_EQ(device->DeviceHandle, handle);  // nothing released by a refused close
  driver.handle_notice_fails = false;
  driver.interface_notice_fails = true;
  EXPECT_EQ(refusal(&usb::UsbDevice::Destroy), "Failed to close the device notification handle.");
  EXPECT_EQ(driver.OpenHandles(), 0u);
  device.reset();  // the destructor retries and swallows the failure
}

// The active entry, its first endpoint of each kind, and descriptor sets read only within bounds.
TEST(UsbDevice, DescriptorSetsAndTheActiveEntry) {
  std::vector<Bytes> nine_interfaces, sixteen_endpoints{Iface(0, 0, 16)}, eleven_others{Iface(0, 0, 1)};
  for (std::uint8_t i = 0; i < 9; ++i) nine_interfaces.push_back(Iface(i, 0, 0));
  for (std::uint8_t address = 0x81; address < 0x91; ++address) sixteen_endpoints.push_back(Ep(address, 2));
  for (int i = 0; i < 11; ++i) eleven_others.push_back({3, 0x24, 0});
  eleven_others.push_back(Ep(0x86, 2));
  std::vector<Bytes> twelve_others = eleven_others;
  twelve_others.insert(twelve_others.begin() + 1, Bytes{3, 0x24, 0});
  Bytes zero_header = Config({Iface(0, 0, 1), Ep(0x86, 2)});
  zero_header[0] = 0;
  const Bytes kinds = Config(
      {Iface(0, 0, 6), Ep(0x83, 0x05), Ep(0x81, 2), Ep(0x86, 2), Ep(0x02, 2), Ep(0x84, 3), Ep(0x85, 1)});
  const Bytes two_alts = Config({Iface(0, 0, 1), Ep(0x86, 2), Iface(0, 1, 2), Ep(0x81, 2), Ep(0x01, 2)});

  // Each case: the configuration; whether a configuration with an entry was found (open either
  // way), the entries of the first configuration, the endpoint objects in its first entry, the bulk
  // IN endpoint's address (-1: none); the alternate setting the driver reports. A row leaves out
  // what is as in most.
  struct Case {
    const char* name;
    Bytes config;
    bool found = true;
    std::size_t entries = 1;
    std::ptrdiff_t endpoints = 0;
    int bulk_in = -1;
    std::uint8_t alt = 0;
  };
  const Case cases[] = {
      // An unknown kind (0x05) makes no object; of two bulk IN endpoints the first wins.
      {.name = "first of each kind", .config = kinds, .endpoints = 5, .bulk_in = 0x81},
      {.name = "alternate setting 1",
       .config = two_alts,
       .entries = 2,
       .endpoints = 1,
       .bulk_in = 0x81,
       .alt = 1},
      {.name = "alternate setting not found", .config = two_alts, .entries = 2, .endpoints = 1, .alt = 5},
      {.name = "zero length", .config = Config({Iface(0, 0, 2), Bytes{0, 5, 0x86, 2, 0, 2, 0}})},
      {.name = "zero length header", .config = zero_header, .found = false, .entries = 0},
      {.name = "endpoint past the total", .config = Config({Iface(0, 0, 1), Ep(0x86, 2)}, 22)},
      {.name = "endpoint past data", .config = Config({Iface(0, 0, 1), Bytes{200, 5, 0x86, 2, 0, 2, 0}})},
      {.name = "cut endpoint",
       .config = Config({Iface(0, 0, 2), Bytes{5, 5, 0x86, 2, 0}, Ep(0x02, 2)}),
       .endpoints = 1},
      {.name = "short interface",
       .config = Config({Bytes{5, 4, 0, 0, 1}, Ep(0x86, 2)}),
       .found = false,
       .entries = 0},
      {.name = "total shorter than the header",
       .config = Config({Iface(0, 0, 1), Ep(0x86, 2)}, 4),
       .found = false,
       .entries = 0},
      {.name = "total beyond the data",
       .config = Config({Iface(0, 0, 1), Ep(0x86, 2)}, 300),
       .found = false,
       .entries = 0},
      {.name = "endpoint count beyond the data",
       .config = Config({Iface(0, 0, 255), Ep(0x86, 2), Ep(0x02, 2)}),
       .endpoints = 2,
       .bulk_in = 0x86},
      {.name = "nine interfaces", .config = Config(nine_interfaces), .entries = 8},
      {.name = "sixteen endpoints", .config = Config(sixteen_endpoints), .endpoints = 15, .bulk_in = 0x81},
      {.name = "eleven passed over", .config = Config(eleven_others), .endpoints = 1, .bulk_in = 0x86},
      {.name = "twelve passed over", .config = Config(twelve_others)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Options options;
    options.modules[0].config_descriptors = {c.config};
    options.modules[0].alt_setting = c.alt;
    SimScope sim(options);
    usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, false);
    EXPECT_TRUE(device.Open(0));
    EXPECT_NE(device.DeviceHandle, usb::kInvalidHandle);
    const auto& configuration = device.Configurations[0];
    EXPECT_EQ(configuration && configuration->Interfaces[0], c.found);
    EXPECT_EQ(configuration ? configuration->InterfaceEntryCount : 0u, c.entries);
    const auto owned = [](const auto& endpoint) { return endpoint != nullptr; };
    EXPECT_EQ(c.entries > 0 ? std::ranges::count_if(configuration->Interfaces[0]->EndPoints, owned) : 0,
              c.endpoints);
    EXPECT_EQ(device.BulkInEndPoint ? device.BulkInEndPoint->bEndpointAddress : -1, c.bulk_in);
  }
  // Alternate settings are counted per interface number.
  {
    sim::Options options;
    options.modules[0].config_descriptors = {
        Config({Iface(0, 0, 0), Iface(0, 1, 0), Iface(1, 0, 0), Iface(0, 2, 0)})};
    SimScope sim(options);
    usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, true);
    const auto& configuration = device.Configurations[0];
    ASSERT_NE(configuration, nullptr);
    ASSERT_EQ(configuration->InterfaceEntryCount, 4u);
    const std::uint8_t counts[] = {3, 3, 1, 3};
    for (std::size_t i = 0; i < 4; ++i)
      EXPECT_EQ(configuration->Interfaces[i]->AltSettingCount, counts[i]) << i;
  }
  // The open module's configuration: its header's fields and its entries.
  {
    SimScope sim;
    usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, true);
    EXPECT_EQ(device.bConfigurationValue, 1);
    EXPECT_EQ(device.bmAttributes, 0x80);
    EXPECT_EQ(device.bMaxPower, 50);
    EXPECT_EQ(device.bNumInterfaces, 1);
    EXPECT_EQ(device.InterfaceEntryCount, 1u);
    EXPECT_EQ(device.FirstInterfaceNumber, 0);
  }
  // More configurations than the model holds: two are read, the rest ignored.
  sim::Options many;
  many.modules[0].device_descriptor = sim::DefaultDeviceDescriptor();
  many.modules[0].device_descriptor[17] = 5;
  many.modules[0].config_descriptors.assign(5, sim::DefaultConfigDescriptor());
  SimScope sim(many);
  usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_NE(device.Configurations[1], nullptr);
  EXPECT_NE(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(sim.driver.Requests().size(), 20u);
}

// Each kind of endpoint is found under its own name, in either direction.
TEST(UsbDevice, EndpointsOfEveryKindAndDirection) {
  sim::Options options;
  options.modules[0].config_descriptors = {
      Config({Iface(0, 0, 6), Ep(0x81, 1), Ep(0x02, 1), Ep(0x83, 2), Ep(0x04, 2), Ep(0x85, 3), Ep(0x06, 3)})};
  SimScope sim(options);
  usb::UsbDevice device(sim.driver, nullptr, usb::kModuleInterfaceGuid, false);
  ASSERT_TRUE(device.Open(0));
  const auto address = [](const usb::UsbEndPoint* endpoint) {
    return endpoint != nullptr ? endpoint->bEndpointAddress : -1;
  };
  EXPECT_EQ(address(device.IsocInEndPoint), 0x81);
  EXPECT_EQ(address(device.IsocOutEndPoint), 0x02);
  EXPECT_EQ(address(device.BulkInEndPoint), 0x83);
  EXPECT_EQ(address(device.BulkOutEndPoint), 0x04);
  EXPECT_EQ(address(device.InterruptInEndPoint), 0x85);
  EXPECT_EQ(address(device.InterruptOutEndPoint), 0x06);
}

TEST(Utf16ToUtf8, PairsLoneSurrogatesAndCapacity) {
  const char16_t text[] = {u'A', 0x00E9, 0xD83D, 0xDE00, 0xDC00, u'z', 0xD800};
  EXPECT_EQ(usb::Utf16ToUtf8(text, 7), "A\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(usb::Utf16ToUtf8(text, 1), "A");  // no terminator needed within the capacity
  // The pairs at both ends of the surrogate ranges: the first and the last code point they reach.
  const char16_t ends[] = {0xD800, 0xDC00, 0xDBFF, 0xDFFF};
  EXPECT_EQ(usb::Utf16ToUtf8(ends, 4), "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

// Records every request and answers as the test says; installed for its lifetime.
class FakeDriver final : public sim::SimDriver {
 public:
  struct Call {
    std::uint32_t code;
    Bytes in;
    std::uint8_t* out;
    std::uint32_t out_size;
  };
  std::vector<Call> calls;
  bool request_ok = true;
  std::vector<usb::OverlappedOutcome> outcomes{{true, true, 0, 0}};  // the last one repeats

  bool Request(usb::Handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
               std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) override {
    calls.push_back({code, Bytes(in, in + in_size), out, out_size});
    returned = 0;
    return request_ok;
  }
  std::uint32_t RequestOverlapped(usb::Handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  usb::CompletionRecord&) override {
    calls.push_back({code, Bytes(in, in + in_size), out, out_size});
    return usb::kErrorIoPending;
  }
  usb::OverlappedOutcome Collect(usb::Handle, usb::CompletionRecord&) override {
    usb::OverlappedOutcome o = outcomes.front();
    if (outcomes.size() > 1) outcomes.erase(outcomes.begin());
    return o;
  }
};

constexpr usb::Handle kHandle = 7;

class UsbEndPoint : public ::testing::Test {
 protected:
  FakeDriver driver;
  usb::CompletionRecord record{usb::MakePortableEvent(1000), nullptr};
};

// Each case starts a 16-byte bulk transfer, checks the request, and finishes it with the driver's
// byte count: more than the buffer is not believed, a failure still reports the length, fewer bytes
// than the header give a negative length and copy nothing.
TEST_F(UsbEndPoint, BulkRequestsAndFinishedLengthsDirectAndBuffered) {
  struct Case {
    bool direct;           // the direct form, else buffered
    std::uint8_t address;  // the endpoint's
    std::uint32_t count;   // the driver's byte count
    bool success;          // the call's
    std::int32_t length;   // the resulting length
    std::uint32_t status;  // the TransferStatus a buffered request gets
  };
  const Case cases[] = {
      {.direct = true, .address = 0x86, .count = 16, .success = true, .length = 16, .status = 0},
      {.direct = true, .address = 0x02, .count = 16, .success = true, .length = 16, .status = 0},
      {.direct = false, .address = 0x86, .count = 54, .success = true, .length = 16, .status = 0},
      {.direct = false, .address = 0x02, .count = 54, .success = true, .length = 16, .status = 0},
      {.direct = true, .address = 0x86, .count = 0, .success = true, .length = 0, .status = 0},
      {.direct = false, .address = 0x86, .count = 0, .success = true, .length = 0, .status = 0},
      {.direct = false, .address = 0x86, .count = 48, .success = true, .length = 10, .status = 0},
      {.direct = true, .address = 0x86, .count = 100, .success = true, .length = 16, .status = 0},
      {.direct = false, .address = 0x86, .count = 500, .success = true, .length = 16, .status = 0},
      {.direct = false, .address = 0x86, .count = 54, .success = false, .length = 16, .status = 0},
      {.direct = false, .address = 0x86, .count = 20, .success = true, .length = -18, .status = 0},
      {.direct = false, .address = 0x02, .count = 54, .success = true, .length = 16, .status = 0xC0000011},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "case " << &c - cases << ": " << (c.direct ? "direct" : "buffered") << ", endpoint "
                 << int{c.address} << ", the driver's count " << c.count << (c.success ? "" : ", failed"));
    const auto& [direct, address, count, success, want, status] = c;
    driver.calls.clear();
    usb::UsbBulkEndPoint ep(driver, kHandle, Ep(address, 2));
    ep.DirectIo = direct ? 1 : 0;
    ep.TimeoutMs = 9000;  // only control transfers use it
    Bytes buffer(16, 0x11);
    auto context = ep.BeginTransfer(buffer.data(), 16, record);
    ASSERT_TRUE(context);
    ASSERT_EQ(ep.LastError, usb::kErrorIoPending);
    const auto& call = driver.calls.at(0);
    if (direct) {
      EXPECT_EQ(call.code, usb::kRequestDirectTransfer);
      EXPECT_TRUE(SameBytes(call.in, Header({}, address, 0, 0)));
      EXPECT_EQ(call.out, buffer.data());
      EXPECT_EQ(call.out_size, 16u);
    } else {  // IN pipes send their buffer too
      EXPECT_EQ(call.code, usb::kRequestBufferedTransfer);
      EXPECT_TRUE(SameBytes(call.in, Header({}, address, 38, 16, 0, Bytes(16, 0x11))));
      EXPECT_EQ(call.out_size, 54u);
      std::fill_n(call.out + 38, 16, std::uint8_t{0x42});
      usb::WriteLe32(call.out + 18, status);
    }
    driver.outcomes = {{true, success, count, success ? 0u : 31u}};
    std::array<std::uint8_t, 4> packets{0xEE, 0xEE, 0xEE, 0xEE};
    std::int32_t length = 0;
    const bool finished =
        ep.FinishTransfer(buffer.data(), length, record, std::move(context), packets.data());
    EXPECT_EQ(finished, success && status == 0);
    EXPECT_EQ(ep.TransferStatus, status);
    EXPECT_EQ(length, want);
    EXPECT_EQ(ep.BytesTransferred, want > 0 ? static_cast<std::uint32_t>(want) : 0u);
    EXPECT_EQ(buffer[0], !direct && address == 0x86 && want > 0 ? 0x42 : 0x11) << "the buffer's first byte";
    EXPECT_EQ(packets[0], 0xEE) << "a bulk transfer has no packet table";
  }
}

TEST_F(UsbEndPoint, ControlSetupFieldsAndTimeoutInWholeSeconds) {
  usb::UsbControlEndPoint ep(driver, kHandle, {});
  ASSERT_TRUE(ep.BeginTransfer(nullptr, 0, record));
  // A vendor request to the device, host to device, within the default 10 s.
  EXPECT_TRUE(SameBytes(driver.calls.at(0).in, Header({0x40, 0, 0, 0, 0, 0, 0, 0, 10}, 0, 38, 0)));
  ep.Direction = 1, ep.RequestType = 1, ep.Recipient = 2;
  ep.bRequest = 0x33, ep.wValue = 0x1234, ep.wIndex = 0x5678;
  Bytes buffer{0xAA, 0xBB, 0xCC};
  const std::pair<std::uint32_t, std::uint8_t> timeouts[] = {{9000, 9}, {0, 0}, {1999, 1}, {500, 1}};
  for (const auto& [ms, seconds] : timeouts) {
    SCOPED_TRACE(::testing::Message() << ms << " ms");
    ep.TimeoutMs = ms;
    ASSERT_TRUE(ep.BeginTransfer(buffer.data(), 3, record));
    const Bytes setup{0xA2, 0x33, 0x34, 0x12, 0x78, 0x56, 3, 0, seconds};
    EXPECT_EQ(driver.calls.back().code, usb::kRequestControlTransfer);
    EXPECT_TRUE(SameBytes(driver.calls.back().in, Header(setup, 0, 38, 3, 0, buffer)));
    EXPECT_TRUE(ep.DirectionIn);
  }
}

TEST_F(UsbEndPoint, IsocPacketTablesAndTheirReturn) {
  usb::UsbIsocEndPoint ep(driver, kHandle, Bytes{7, 5, 0x81, 1, 0x00, 0x11, 1});  // 3 x 256 bytes a packet
  ASSERT_EQ(ep.EffectiveMaxPacket, 768);
  Bytes buffer(1000, 0x5A);
  auto direct = ep.BeginTransfer(buffer.data(), 1000, record);  // two packets
  ASSERT_EQ(driver.calls.size(), 1u);
  EXPECT_EQ(driver.calls[0].code, usb::kRequestDirectTransfer);
  EXPECT_TRUE(SameBytes(driver.calls[0].in, Header({}, 0x81, 0, 0, 16)));
  EXPECT_EQ(driver.calls[0].out_size, 1000u);

  ep.DirectIo = 0;
  auto buffered = ep.BeginTransfer(buffer.data(), 1000, record);
  ASSERT_EQ(driver.calls.size(), 2u);
  EXPECT_EQ(driver.calls[1].code, usb::kRequestBufferedTransfer);
  EXPECT_TRUE(SameBytes(driver.calls[1].in, Header({}, 0x81, 54, 1000, 16, buffer)));
  for (std::uint8_t i = 0; i < 16; ++i) driver.calls[1].out[38 + i] = static_cast<std::uint8_t>(i + 1);
  driver.outcomes = {{true, true, 54 + 1000, 0}};
  std::array<std::uint8_t, 16> packets{};
  std::int32_t length = 0;
  EXPECT_TRUE(ep.FinishTransfer(buffer.data(), length, record, std::move(buffered), packets.data()));
  EXPECT_EQ(length, 1000);
  EXPECT_EQ(packets[15], 16) << "the packet table's last entry";
  EXPECT_TRUE(ep.FinishTransfer(buffer.data(), length, record, std::move(direct), nullptr));

  EXPECT_FALSE(ep.BeginTransfer(buffer.data(), 0, record));  // no packets, nothing started
  ep.EffectiveMaxPacket = 0;
  EXPECT_FALSE(ep.BeginTransfer(buffer.data(), 10, record));
  // One-byte packets for 2 GiB: a packet table of 16 GiB, more than a request can hold.
  ep.EffectiveMaxPacket = 1;
  ep.DirectIo = 1;
  EXPECT_FALSE(ep.BeginTransfer(buffer.data(), std::numeric_limits<std::int32_t>::max(), record));
  EXPECT_EQ(driver.calls.size(), 2u);
}

// A wait trusts LastError: 0 is done, 997 waits for the event, anything else has failed. A
// transfer whose wait timed out is aborted; finishing it waits once more and collects it when it
// has ended, or keeps it alive when it never ends rather than free it under the driver.
TEST_F(UsbEndPoint, WaitAbortAndStalledTransfers) {
  usb::UsbBulkEndPoint ep(driver, kHandle, Ep(0x86, 2));
  Bytes buffer(8);
  const std::uint32_t stranded = ep.StrandedTransfers;
  const usb::OverlappedOutcome running{false, false, 0, usb::kErrorIoIncomplete};
  for (const bool ends : {true, false}) {
    SCOPED_TRACE(ends ? "the transfer ends" : "the transfer never ends");
    auto context = ep.BeginTransfer(buffer.data(), 8, record);
    // The wait is shortened by the event's divisor.
    const bool waited = ep.WaitForTransfer(record, 9000);
    const bool aborted = ep.Abort();
    EXPECT_FALSE(waited);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(driver.calls.back().code, usb::kRequestAbortPipe);
    EXPECT_EQ(driver.calls.back().in, Bytes{0x86});
    EXPECT_EQ(driver.calls.back().out_size, 0u);
    driver.outcomes = {running, ends ? usb::OverlappedOutcome{true, true, 8, 0} : running};
    record.event->Signal();  // the end the driver reports: finishing waits for it
    std::int32_t length = -1;
    EXPECT_EQ(ep.FinishTransfer(buffer.data(), length, record, std::move(context), nullptr), ends);
    EXPECT_EQ(record.event->Wait(0), usb::WaitResult::TimedOut);  // consumed by that wait
    EXPECT_EQ(length, ends ? 8 : 0);
    EXPECT_EQ(ep.BytesTransferred, ends ? 8u : 0u) << "a stranded transfer carried nothing";
    EXPECT_EQ(ep.StrandedTransfers, stranded + (ends ? 0u : 1u));
  }
  record.event->Signal();
  EXPECT_TRUE(ep.WaitForTransfer(record, 9000));
  record.event->Signal();
  ep.LastError = usb::kErrorGenFailure;
  EXPECT_FALSE(ep.WaitForTransfer(record, 9000));
  ep.LastError = 0;
  usb::CompletionRecord none{};
  EXPECT_TRUE(ep.WaitForTransfer(none, 0));  // completed when issued
  driver.request_ok = false;
  EXPECT_FALSE(ep.Abort());

  usb::UsbBulkEndPoint closed(driver, usb::kInvalidHandle, Ep(0x86, 2));
  const std::size_t calls = driver.calls.size();
  EXPECT_FALSE(closed.BeginTransfer(buffer.data(), 8, record));
  EXPECT_EQ(driver.calls.size(), calls);
}

}  // namespace
