// Endpoint transfers: the exact request bytes that reach the driver and how results come back.
#include <gtest/gtest.h>

#include "usb/endpoint.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every request and answers as the test says; installed for its lifetime.
class FakeDriver final : public usb::Driver {
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

  FakeDriver() { usb::SetDriver(this); }
  ~FakeDriver() override { usb::SetDriver(nullptr); }
  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&, std::span<const usb::UsbId>) override {
    return nullptr;
  }
  usb::Handle Open(const std::string&, usb::OpenFailure&) override { return usb::kInvalidHandle; }
  bool Close(usb::Handle) override { return true; }
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
  std::shared_ptr<usb::Event> CreateEvent() override { return usb::MakePortableEvent(1000); }
};

constexpr usb::Handle kHandle = 7;
const Bytes kBulkIn{7, 5, 0x86, 2, 0, 2, 0};

// A request header with these fields, the rest zero, followed by `tail`.
Bytes Header(std::uint8_t endpoint, std::uint32_t data_offset, std::uint32_t data_length,
             std::uint32_t table_length = 0, const Bytes& tail = {}) {
  Bytes h(38, 0);
  h[13] = endpoint;
  usb::WriteLe32(&h[22], table_length ? 38 : 0);
  usb::WriteLe32(&h[26], table_length);
  usb::WriteLe32(&h[30], data_offset);
  usb::WriteLe32(&h[34], data_length);
  h.resize(38 + table_length, 0);
  h.insert(h.end(), tail.begin(), tail.end());
  return h;
}

usb::CompletionRecord Record() {
  return {usb::MakePortableEvent(1000), nullptr};
}

// Each case starts a 16-byte bulk transfer, checks the request, then finishes it with the
// driver's byte count: more than the buffer is not believed, a failure still reports the length,
// fewer bytes than the header give a negative length and copy nothing.
TEST(UsbBulkEndPoint, RequestsAndFinishedLengthsDirectAndBuffered) {
  struct Case {
    bool direct;
    std::uint8_t address;
    std::uint32_t count;  // bytes the driver reports
    bool success;         // of the platform call
    std::int32_t length;
    std::uint32_t status;  // TransferStatus the driver writes into a buffered request
  };
  const Case cases[] = {
      {true, 0x86, 16, true, 16, 0},   {true, 0x02, 16, true, 16, 0},
      {false, 0x86, 54, true, 16, 0},  {false, 0x02, 54, true, 16, 0},
      {true, 0x86, 0, true, 0, 0},     {false, 0x86, 0, true, 0, 0},
      {false, 0x86, 48, true, 10, 0},  {true, 0x86, 100, true, 16, 0},
      {false, 0x86, 500, true, 16, 0}, {false, 0x86, 54, false, 16, 0},
      {false, 0x86, 20, true, -18, 0}, {false, 0x02, 54, true, 16, 0xC0000011},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "direct " << c.direct << " endpoint " << int{c.address} << " count "
                                    << c.count);
    FakeDriver driver;
    usb::UsbBulkEndPoint ep(kHandle, Bytes{7, 5, c.address, 2, 0, 2, 0});
    ep.DirectIo = c.direct ? 1 : 0;
    ep.TimeoutMs = 9000;  // only control transfers use it
    Bytes buffer(16, 0x11);
    auto record = Record();
    auto context = ep.BeginTransfer(buffer.data(), 16, record);
    ASSERT_TRUE(context);
    EXPECT_EQ(ep.LastError, usb::kErrorIoPending);
    const auto& call = driver.calls.at(0);
    if (c.direct) {
      EXPECT_EQ(call.code, usb::kRequestDirectTransfer);
      EXPECT_EQ(call.in, Header(c.address, 0, 0));
      EXPECT_EQ(call.out, buffer.data());
      EXPECT_EQ(call.out_size, 16u);
    } else {
      EXPECT_EQ(call.code, usb::kRequestBufferedTransfer);
      EXPECT_EQ(call.in, Header(c.address, 38, 16, 0, Bytes(16, 0x11)));  // IN pipes send theirs too
      EXPECT_EQ(call.out_size, 54u);
      std::fill_n(call.out + 38, 16, std::uint8_t{0x42});
      usb::WriteLe32(call.out + 18, c.status);
    }
    driver.outcomes = {{true, c.success, c.count, c.success ? 0u : 31u}};
    std::array<std::uint8_t, 4> packets{0xEE, 0xEE, 0xEE, 0xEE};
    std::int32_t length = 0;
    EXPECT_EQ(ep.FinishTransfer(buffer.data(), length, record, std::move(context), packets.data()),
              c.success && c.status == 0);
    EXPECT_EQ(ep.TransferStatus, c.status);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(ep.BytesTransferred, c.length > 0 ? static_cast<std::uint32_t>(c.length) : 0u);
    EXPECT_EQ(buffer[0], !c.direct && c.address == 0x86 && c.length > 0 ? 0x42 : 0x11);
    EXPECT_EQ(packets[0], 0xEE);  // a bulk transfer has no packet table
  }
}

TEST(UsbControlEndPoint, SetupFieldsAndTimeoutInWholeSeconds) {
  FakeDriver driver;
  usb::UsbControlEndPoint ep(kHandle, {});
  auto record = Record();
  ASSERT_TRUE(ep.BeginTransfer(nullptr, 0, record));
  EXPECT_EQ(driver.calls.at(0).in.size(), 38u);
  EXPECT_EQ(driver.calls[0].in[0], 0x40);  // vendor request to the device, host to device
  ep.Direction = 1;
  ep.RequestType = 1;
  ep.Recipient = 2;
  ep.bRequest = 0x33;
  ep.wValue = 0x1234;
  ep.wIndex = 0x5678;
  Bytes buffer{0xAA, 0xBB, 0xCC};
  const std::pair<std::uint32_t, std::uint8_t> timeouts[] = {{9000, 9}, {0, 0}, {1999, 1}, {500, 1}};
  for (const auto& [ms, seconds] : timeouts) {
    ep.TimeoutMs = ms;
    ASSERT_TRUE(ep.BeginTransfer(buffer.data(), 3, record));
    Bytes expected = Header(0, 38, 3, 0, buffer);
    const Bytes setup{0xA2, 0x33, 0x34, 0x12, 0x78, 0x56, 3, 0, seconds};
    std::copy(setup.begin(), setup.end(), expected.begin());
    EXPECT_EQ(driver.calls.back().code, usb::kRequestControlTransfer);
    EXPECT_EQ(driver.calls.back().in, expected) << ms;
    EXPECT_TRUE(ep.DirectionIn);
  }
}

TEST(UsbIsocEndPoint, PacketTablesAndTheirReturn) {
  FakeDriver driver;
  usb::UsbIsocEndPoint ep(kHandle, Bytes{7, 5, 0x81, 1, 0x00, 0x11, 1});  // 3 x 256 bytes a packet
  ASSERT_EQ(ep.EffectiveMaxPacket, 768);
  Bytes buffer(1000, 0x5A);
  auto record = Record();
  auto direct = ep.BeginTransfer(buffer.data(), 1000, record);  // two packets
  EXPECT_EQ(driver.calls.at(0).code, usb::kRequestDirectTransfer);
  EXPECT_EQ(driver.calls[0].in, Header(0x81, 0, 0, 16));
  EXPECT_EQ(driver.calls[0].out_size, 1000u);

  ep.DirectIo = 0;
  auto buffered = ep.BeginTransfer(buffer.data(), 1000, record);
  EXPECT_EQ(driver.calls.at(1).code, usb::kRequestBufferedTransfer);
  EXPECT_EQ(driver.calls[1].in, Header(0x81, 54, 1000, 16, buffer));
  for (std::uint8_t i = 0; i < 16; ++i) driver.calls[1].out[38 + i] = static_cast<std::uint8_t>(i + 1);
  driver.outcomes = {{true, true, 54 + 1000, 0}};
  std::array<std::uint8_t, 16> packets{};
  std::int32_t length = 0;
  EXPECT_TRUE(ep.FinishTransfer(buffer.data(), length, record, std::move(buffered), packets.data()));
  EXPECT_EQ(length, 1000);
  EXPECT_EQ(packets[15], 16);
  EXPECT_TRUE(ep.FinishTransfer(buffer.data(), length, record, std::move(direct), nullptr));

  EXPECT_FALSE(ep.BeginTransfer(buffer.data(), 0, record));  // no packets, nothing started
  ep.EffectiveMaxPacket = 0;
  EXPECT_FALSE(ep.BeginTransfer(buffer.data(), 10, record));
  EXPECT_EQ(driver.calls.size(), 2u);
}

// A wait trusts LastError: 0 is done, 997 waits for the event, anything else has failed. A
// transfer whose wait timed out is aborted; finishing it waits once more and collects it when it
// has ended, or keeps it alive when it never ends rather than free it under the driver.
TEST(UsbEndPoint, WaitAbortAndStalledTransfers) {
  FakeDriver driver;
  usb::UsbBulkEndPoint ep(kHandle, kBulkIn);
  Bytes buffer(8);
  auto record = Record();
  const std::uint32_t stranded = ep.StrandedTransfers;
  const usb::OverlappedOutcome running{false, false, 0, usb::kErrorIoIncomplete};
  for (const bool ends : {true, false}) {
    auto context = ep.BeginTransfer(buffer.data(), 8, record);
    EXPECT_FALSE(ep.WaitForTransfer(record, 9000));  // shortened by the event's divisor
    EXPECT_TRUE(ep.Abort());
    EXPECT_EQ(driver.calls.back().code, usb::kRequestAbortPipe);
    EXPECT_EQ(driver.calls.back().in, Bytes{0x86});
    EXPECT_EQ(driver.calls.back().out_size, 0u);
    driver.outcomes = {running, ends ? usb::OverlappedOutcome{true, true, 8, 0} : running};
    record.event->Signal();  // the end the driver reports: finishing waits for it
    std::int32_t length = -1;
    EXPECT_EQ(ep.FinishTransfer(buffer.data(), length, record, std::move(context), nullptr), ends);
    EXPECT_EQ(record.event->Wait(0), usb::WaitResult::TimedOut);  // consumed by that wait
    EXPECT_EQ(length, ends ? 8 : 0);
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

  usb::UsbBulkEndPoint closed(usb::kInvalidHandle, kBulkIn);
  const std::size_t calls = driver.calls.size();
  EXPECT_FALSE(closed.BeginTransfer(buffer.data(), 8, record));
  EXPECT_EQ(driver.calls.size(), calls);
}

}  // namespace
