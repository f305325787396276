// The libusb backend against emulated devices: the driver's requests as the USB layer makes
// them, answered by the real libusb talking to a device that speaks the module's frames.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drivers/libusb/libusb_driver.h"
#include "libusb/emulated_module.h"
#include "usb/transfer_request.h"

namespace {

using emulated::DeviceOptions;
using emulated::Fault;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kModeRnd = 7;

class LibusbBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!emulated::Testbed::Available(why)) GTEST_SKIP() << "USB emulation unavailable: " << why;
  }
  void TearDown() override { usb::SelectedModuleIds().clear(); }

  static void Select(std::vector<usb::UsbId> ids) { usb::SelectedModuleIds() = std::move(ids); }

  // Opens the one listed device of a fresh driver.
  static usb::Handle OpenFirst(usb::Driver& driver) {
    const auto list = driver.ListPresent(usb::kModuleInterfaceGuid);
    if (!list || list->Enumerate(0) != 0) return usb::kInvalidHandle;
    return driver.Open(list->DevicePath(0).value_or(""));
  }
};

std::uint32_t CountListed(usb::Driver& driver, const usb::Guid& guid = usb::kModuleInterfaceGuid) {
  const auto list = driver.ListPresent(guid);
  std::uint32_t n = 0;
  while (list && list->Enumerate(n) == 0) ++n;
  return n;
}

// A GET_DESCRIPTOR as the layer issues it: header and data in one buffer, answered in place.
std::vector<std::uint8_t> ReadDescriptor(usb::Driver& driver, usb::Handle handle, std::uint8_t type,
                                         std::uint8_t index, std::uint16_t language, std::uint16_t length,
                                         bool& ok) {
  std::vector<std::uint8_t> buffer(usb::kTransferRequestSize + length);
  usb::TransferRequest header;
  header.bmRequestType = 0x80;
  header.bRequest = 6;
  header.wValue = static_cast<std::uint16_t>(type << 8 | index);
  header.wIndex = language;
  header.wLength = length;
  header.TimeoutSeconds = 5;
  header.DataOffset = 38;
  header.DataLength = length;
  usb::EncodeTransferRequest(header, buffer);
  std::uint32_t returned = 0;
  const auto size = static_cast<std::uint32_t>(buffer.size());
  ok = driver.Request(handle, usb::kRequestControlTransfer, buffer.data(), size, buffer.data(), size,
                      returned);
  if (!ok || returned < 38) return {};
  return {buffer.begin() + 38, buffer.begin() + returned};
}

std::uint32_t SimpleRequest(usb::Driver& driver, usb::Handle handle, std::uint32_t code, std::uint32_t size,
                            bool& ok) {
  std::vector<std::uint8_t> buffer(size, 0xAA);
  std::uint32_t returned = 0;
  ok = driver.Request(handle, code, buffer.data(), size, buffer.data(), size, returned) && returned == size;
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < std::min<std::uint32_t>(size, 4); ++i)
    value |= std::uint32_t{buffer[i]} << (8 * i);
  return value;
}

// One overlapped data transfer, in the buffered (0x220024) or direct (0x22004B) form.
struct Transfer {
  usb::CompletionRecord record;
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> data;
  bool buffered = true;
  std::uint32_t error = 0;
};

std::unique_ptr<Transfer> Begin(usb::Driver& driver, usb::Handle handle, std::uint8_t endpoint,
                                std::vector<std::uint8_t> data, bool buffered) {
  auto t = std::make_unique<Transfer>();
  t->record.event = driver.CreateEvent();
  t->buffered = buffered;
  t->data = std::move(data);
  const auto n = static_cast<std::uint32_t>(t->data.size());
  usb::TransferRequest header;
  header.EndpointAddress = endpoint;
  if (buffered) {
    header.DataOffset = 38;
    header.DataLength = n;
    t->request.resize(38 + n);
    usb::EncodeTransferRequest(header, t->request);
    std::copy(t->data.begin(), t->data.end(), t->request.begin() + 38);
    const auto size = static_cast<std::uint32_t>(t->request.size());
    t->error = driver.RequestOverlapped(handle, usb::kRequestBufferedTransfer, t->request.data(), size,
                                        t->request.data(), size, t->record);
  } else {
    t->request.resize(38);
    usb::EncodeTransferRequest(header, t->request);
    t->error = driver.RequestOverlapped(handle, usb::kRequestDirectTransfer, t->request.data(), 38,
                                        t->data.data(), n, t->record);
  }
  return t;
}

bool Wait(Transfer& t, std::uint32_t ms) {
  return t.record.event->Wait(ms) == usb::WaitResult::Signalled;
}

// The data bytes the transfer moved, as the layer would find them after collecting.
std::vector<std::uint8_t> Received(const Transfer& t, const usb::OverlappedOutcome& outcome) {
  if (!t.buffered) return {t.data.begin(), t.data.begin() + outcome.transferred};
  if (outcome.transferred < 38) return {};
  return {t.request.begin() + 38, t.request.begin() + outcome.transferred};
}

std::vector<std::uint8_t> Frame(std::uint8_t b2, std::uint8_t b3, std::uint8_t flag, std::uint8_t p14,
                                std::uint8_t p15) {
  std::vector<std::uint8_t> f(16, 0);
  f[0] = 0x13;
  f[1] = 0x37;
  f[2] = b2;
  f[3] = b3;
  f[8] = flag;
  f[14] = p14;
  f[15] = p15;
  return f;
}

// The command of one block request and the length of its answer.
std::vector<std::uint8_t> BlockCommand(std::uint8_t mode, std::uint32_t length,
                                       std::uint32_t& answer_length) {
  const std::uint32_t n = (length + 15) / 16;
  std::vector<std::uint8_t> command;
  for (const auto& f :
       {Frame(0xC0, 0xDE, 0x00, 0x03, 0x00), Frame(0xC0, 0xDE, 0x04, 0x00, mode),
        Frame(0xDA, 0x7A, 0x00, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)),
        Frame(0xC0, 0xDE, 0x10, 0x00, 0x00)})
    command.insert(command.end(), f.begin(), f.end());
  answer_length = 16 * (n + 4);
  if (length != 1984) {
    const auto closing = Frame(0xC0, 0xDE, 0x80, 0x00, 0x00);
    command.insert(command.end(), closing.begin(), closing.end());
    answer_length += 16;
  }
  return command;
}

TEST_F(LibusbBackend, ListsOnlyDevicesWithASelectedOrBuiltInId) {
  emulated::Testbed bus;
  bus.Add(DeviceOptions{});
  DeviceOptions other;
  other.product = 0x9999;
  other.address = 3;
  other.product_name = "Another board";
  other.serial = "B-7";
  bus.Add(other);
  const auto driver = usb_libusb::MakeLibusbDriver();

  const auto built_in = usb_libusb::BuiltInModuleIds();
  const bool table_names_them = std::any_of(built_in.begin(), built_in.end(), [](const usb::UsbId& id) {
    return id.vendor == 0x1234 && (id.product == 0x5678 || id.product == 0x9999);
  });
  if (!table_names_them) {
    EXPECT_EQ(CountListed(*driver), 0u);
    const std::vector<std::string> candidates = driver->CandidateDescriptions();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0], "1234:5678 \"Emulated RNG module\" serial \"EMU-0001\"");
    EXPECT_EQ(candidates[1], "1234:9999 \"Another board\" serial \"B-7\"");
  }

  Select({{0x1234, 0x5678}});
  const auto list = driver->ListPresent(usb::kModuleInterfaceGuid);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->Enumerate(0), 0u);
  EXPECT_EQ(list->Enumerate(1), usb::kErrorNoMoreItems);
  EXPECT_EQ(list->DevicePath(0), "usb:001:002:1234:5678");
  EXPECT_EQ(driver->CandidateDescriptions(),
            std::vector<std::string>{"1234:9999 \"Another board\" serial \"B-7\""});
  // Another interface class has no members here.
  EXPECT_EQ(CountListed(*driver, usb::Guid{1, 2, 3, {}}), 0u);

  Select({{0x1234, 0x5678}, {0x1234, 0x9999}});
  EXPECT_EQ(CountListed(*driver), 2u);
  Select({{0xdead, 0xbeef}});
  EXPECT_EQ(CountListed(*driver), 0u);

  // Paths that do not name a present device with that ID open nothing.
  EXPECT_EQ(driver->Open("usb:001:002:1234:9999"), usb::kInvalidHandle);
  EXPECT_EQ(driver->Open("usb:001:002"), usb::kInvalidHandle);
  EXPECT_EQ(driver->Open("usb:001:999:1234:5678"), usb::kInvalidHandle);
  const usb::Handle handle = driver->Open("usb:001:002:1234:5678");
  EXPECT_NE(handle, usb::kInvalidHandle);
  EXPECT_TRUE(driver->LastOpenProblem().empty());
  EXPECT_TRUE(driver->Close(handle));
  EXPECT_FALSE(driver->Close(handle));
}

TEST_F(LibusbBackend, AnswersDescriptorAndDriverRequests) {
  for (const bool high_speed : {true, false}) {
    SCOPED_TRACE(high_speed ? "high speed" : "full speed");
    emulated::Testbed bus;
    DeviceOptions options;
    options.high_speed = high_speed;
    bus.Add(options);
    const auto driver = usb_libusb::MakeLibusbDriver();
    Select({{0x1234, 0x5678}});
    const usb::Handle handle = OpenFirst(*driver);
    ASSERT_NE(handle, usb::kInvalidHandle);

    bool ok = false;
    const auto device = ReadDescriptor(*driver, handle, 1, 0, 0, 18, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(usb::ReadLe16(&device[8]), 0x1234);
    EXPECT_EQ(usb::ReadLe16(&device[10]), 0x5678);
    const auto config_head = ReadDescriptor(*driver, handle, 2, 0, 0, 9, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(usb::ReadLe16(&config_head[2]), 32);
    const auto serial = ReadDescriptor(*driver, handle, 3, 3, 0x0409, 18, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(serial, (std::vector<std::uint8_t>{18, 3, 'E', 0, 'M', 0, 'U', 0, '-', 0, '0', 0, '0', 0, '0',
                                                 0, '1', 0}));
    ReadDescriptor(*driver, handle, 3, 9, 0x0409, 2, ok);  // no such string: the device stalls
    EXPECT_FALSE(ok);

    EXPECT_EQ(SimpleRequest(*driver, handle, usb::kRequestBusSpeed, 4, ok), high_speed ? 2u : 1u);
    EXPECT_TRUE(ok);
    const libusb_version* version = libusb_get_version();
    const std::uint32_t packed = SimpleRequest(*driver, handle, usb::kRequestDriverVersion, 4, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(packed, usb_libusb::PackVersion(version->major, version->minor, version->micro, version->nano));
    EXPECT_EQ(packed >> 24, version->major);
    EXPECT_EQ(SimpleRequest(*driver, handle, usb::kRequestAltSetting, 1, ok), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(SimpleRequest(*driver, handle, usb::kRequestInfoBlock1, 256, ok), 0u);
    EXPECT_TRUE(ok);
    SimpleRequest(*driver, handle, usb::kRequestDriverVersion, 3, ok);  // wrong size: refused
    EXPECT_FALSE(ok);
    // A header whose data would lie beyond its buffer is refused, and nothing is submitted.
    std::vector<std::uint8_t> bogus(38 + 16);
    usb::TransferRequest header;
    header.EndpointAddress = emulated::kBulkIn;
    header.DataOffset = 38;
    header.DataLength = 4096;
    usb::EncodeTransferRequest(header, bogus);
    usb::CompletionRecord record{driver->CreateEvent(), nullptr};
    EXPECT_EQ(driver->RequestOverlapped(handle, usb::kRequestBufferedTransfer, bogus.data(), 54, bogus.data(),
                                        54, record),
              87u);
    EXPECT_FALSE(driver->Collect(handle, record).success);
    std::uint8_t pipe = emulated::kBulkIn;
    std::uint32_t returned = 7;
    EXPECT_TRUE(driver->Request(handle, usb::kRequestAbortPipe, &pipe, 1, nullptr, 0, returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(driver->Close(handle));
    EXPECT_FALSE(driver->Request(handle, usb::kRequestBusSpeed, nullptr, 0, nullptr, 0, returned));
  }
}

TEST_F(LibusbBackend, CarriesBlocksBitExactWithBothTransferForms) {
  for (const bool buffered : {true, false}) {
    SCOPED_TRACE(buffered ? "buffered" : "direct");
    emulated::Testbed bus;
    DeviceOptions options;
    options.seed = buffered ? 11 : 12;
    const emulated::Device& module = bus.Add(options);
    const auto driver = usb_libusb::MakeLibusbDriver();
    Select({{0x1234, 0x5678}});
    const usb::Handle handle = OpenFirst(*driver);
    ASSERT_NE(handle, usb::kInvalidHandle);

    std::vector<std::uint8_t> record;
    for (const std::uint32_t length : {1984u, 1984u, 1000u}) {
      std::uint32_t answer_length = 0;
      const std::vector<std::uint8_t> command = BlockCommand(kModeRnd, length, answer_length);
      const auto in =
          Begin(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(answer_length, 0xEE), buffered);
      ASSERT_EQ(in->error, usb::kErrorIoPending);
      // The receive waits for the command: it is still in flight when the send starts.
      EXPECT_FALSE(driver->Collect(handle, in->record).complete);
      const auto out = Begin(*driver, handle, emulated::kBulkOut, command, buffered);
      ASSERT_EQ(out->error, usb::kErrorIoPending);
      ASSERT_TRUE(Wait(*out, 5000));
      ASSERT_TRUE(Wait(*in, 5000));

      const usb::OverlappedOutcome sent = driver->Collect(handle, out->record);
      EXPECT_TRUE(sent.complete && sent.success);
      EXPECT_EQ(sent.transferred, (buffered ? 38 : 0) + command.size());
      const usb::OverlappedOutcome got = driver->Collect(handle, in->record);
      ASSERT_TRUE(got.complete && got.success);
      EXPECT_EQ(got.transferred, (buffered ? 38 : 0) + answer_length);
      const std::vector<std::uint8_t> answer = Received(*in, got);
      ASSERT_EQ(answer.size(), answer_length);
      EXPECT_EQ(answer[31] & 0x0F, kModeRnd);
      EXPECT_EQ(answer[63 + 16 * ((length + 15) / 16)] & 0x0F, 0x0D);
      record.insert(record.end(), answer.begin() + 48, answer.begin() + 48 + length);
    }
    EXPECT_EQ(record, emulated::ExpectedRecord(options.seed, record.size()));
    EXPECT_EQ(module.Requests(), 3u);
    EXPECT_EQ(module.LastMode(), kModeRnd);
    EXPECT_TRUE(driver->Close(handle));
  }
}

TEST_F(LibusbBackend, EndsFaultyTransfersPromptly) {
  struct Case {
    Fault fault;
    const char* name;
  };
  // Short answers and stalls end the run as well; the program's tests show it.
  for (const Case c : {Case{Fault::Silent, "silent"}, Case{Fault::Unplug, "unplug"}}) {
    SCOPED_TRACE(c.name);
    emulated::Testbed bus;
    DeviceOptions options;
    options.fault = c.fault;
    options.fault_at_request = 1;
    bus.Add(options);
    const auto driver = usb_libusb::MakeLibusbDriver();
    Select({{0x1234, 0x5678}});
    const usb::Handle handle = OpenFirst(*driver);
    ASSERT_NE(handle, usb::kInvalidHandle);

    std::uint32_t answer_length = 0;
    const std::vector<std::uint8_t> command = BlockCommand(kModeRnd, 1984, answer_length);
    for (int request = 0; request < 2; ++request) {
      const auto in =
          Begin(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(answer_length), true);
      const auto out = Begin(*driver, handle, emulated::kBulkOut, command, true);
      ASSERT_EQ(in->error, usb::kErrorIoPending);
      ASSERT_EQ(out->error, usb::kErrorIoPending);
      ASSERT_TRUE(Wait(*out, 5000));
      const auto start = Clock::now();
      if (request == 0) {  // the fault comes with the second request
        ASSERT_TRUE(Wait(*in, 5000));
        EXPECT_TRUE(driver->Collect(handle, in->record).success);
        continue;
      }
      if (c.fault == Fault::Silent) {
        // No answer: the wait times out, the abort ends the transfer, and it is collected.
        EXPECT_FALSE(Wait(*in, 50));
        EXPECT_FALSE(driver->Collect(handle, in->record).complete);
        std::uint8_t pipe = emulated::kBulkIn;
        std::uint32_t returned = 0;
        EXPECT_TRUE(driver->Request(handle, usb::kRequestAbortPipe, &pipe, 1, nullptr, 0, returned));
      }
      ASSERT_TRUE(Wait(*in, 2000));
      EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
      const usb::OverlappedOutcome got = driver->Collect(handle, in->record);
      EXPECT_TRUE(got.complete);
      EXPECT_FALSE(got.success);
      EXPECT_EQ(got.transferred, 0u);
      EXPECT_EQ(got.error,
                c.fault == Fault::Silent ? usb::kErrorOperationAborted : usb::kErrorDeviceNotConnected);
    }
    if (c.fault == Fault::Unplug) {
      // The device is gone: a new transfer is refused at once, and still collects as failed.
      const auto again = Begin(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(64), true);
      EXPECT_EQ(again->error, usb::kErrorDeviceNotConnected);
      const usb::OverlappedOutcome outcome = driver->Collect(handle, again->record);
      EXPECT_TRUE(outcome.complete);
      EXPECT_FALSE(outcome.success);
    }
    if (c.fault == Fault::Silent) {
      // A transfer still in flight when the device is closed is cancelled, not abandoned.
      const auto left = Begin(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(64), false);
      ASSERT_EQ(left->error, usb::kErrorIoPending);
      EXPECT_TRUE(driver->Close(handle));
      EXPECT_TRUE(Wait(*left, 0) || driver->Collect(handle, left->record).complete);
    } else {
      EXPECT_TRUE(driver->Close(handle));
    }
  }
}

TEST(LibusbNames, ParsesIdsAndPaths) {
  EXPECT_EQ(usb_libusb::PackVersion(1, 0, 26, 11), 0x01001A0Bu);
  EXPECT_EQ(usb_libusb::PackVersion(1, 0, 26, 11724), 0x01001AFFu);
  const auto id = usb_libusb::ParseUsbId("0aBc:12f0");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->vendor, 0x0ABC);
  EXPECT_EQ(id->product, 0x12F0);
  for (const char* bad : {"", "abc:1234", "abcd-1234", "abcd:12345", "abcd:12g4", "abcd:1234 ", "+bcd:1234"})
    EXPECT_FALSE(usb_libusb::ParseUsbId(bad)) << bad;

  const usb_libusb::DeviceAddress address{3, 127, {0x0abc, 0x00ff}};
  const std::string path = usb_libusb::FormatDevicePath(address);
  EXPECT_EQ(path, "usb:003:127:0abc:00ff");
  const auto back = usb_libusb::ParseDevicePath(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->bus, 3);
  EXPECT_EQ(back->address, 127);
  EXPECT_EQ(back->id.product, 0x00ff);
  for (const char* bad : {"usb:3:1000:0abc:00ff", "usb::1:0abc:00ff", "usb:1:1:0abc", "dev:1:1:0abc:00ff"})
    EXPECT_FALSE(usb_libusb::ParseDevicePath(bad)) << bad;
}

}  // namespace
