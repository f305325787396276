// Endpoint transfers: the exact request bytes that reach the driver and how results come back.
#include <gtest/gtest.h>

#include <cstring>

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
  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&) override { return nullptr; }
  usb::Handle Open(const std::string&) override { return usb::kInvalidHandle; }
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
  std::unique_ptr<usb::Event> CreateEvent() override { return usb::MakePortableEvent(1000); }
};

constexpr usb::Handle kHandle = 7;
const Bytes kBulkIn{7, 5, 0x86, 2, 0, 2, 0};

// A request header with these fields, the rest zero.
Bytes Header(std::uint8_t endpoint, std::uint32_t data_offset, std::uint32_t data_length,
             std::uint32_t table_length = 0) {
  Bytes h(38, 0);
  h[13] = endpoint;
  usb::WriteLe32(&h[22], table_length ? 38 : 0);
  usb::WriteLe32(&h[26], table_length);
  usb::WriteLe32(&h[30], data_offset);
  usb::WriteLe32(&h[34], data_length);
  return h;
}

usb::CompletionRecord Record() {
  return {usb::MakePortableEvent(1000), nullptr};
}

TEST(TransferRequest, EncodesEveryFieldLittleEndianAndDecodesBack) {
  usb::TransferRequest r{0x80, 6,          0x0302,     0x0409, 0x1234, 5,  0,
                         0x86, 0x11223344, 0x55667788, 38,     16,     54, 1000};
  Bytes bytes(38, 0xEE);
  usb::EncodeTransferRequest(r, bytes);
  const Bytes expected{0x80, 6,    0x02, 0x03, 0x09, 0x04, 0x34, 0x12, 5,    0,    0, 0, 0,
                       0x86, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 38,   0, 0, 0,
                       16,   0,    0,    0,    54,   0,    0,    0,    0xE8, 0x03, 0, 0};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(usb::DecodeTransferRequest(bytes), r);
}

TEST(UsbEndPoint, BulkRequestsDirectAndBufferedInBothDirections) {
  for (const bool direct : {true, false}) {
    for (const std::uint8_t address : {std::uint8_t{0x86}, std::uint8_t{0x02}}) {
      SCOPED_TRACE(testing::Message() << "direct " << direct << " endpoint " << int{address});
      FakeDriver driver;
      usb::UsbBulkEndPoint ep(kHandle, Bytes{7, 5, address, 2, 0, 2, 0});
      ep.DirectIo = direct ? 1 : 0;
      ep.TimeoutMs = 9000;  // only control transfers use it
      Bytes buffer{1, 2, 3, 4};
      auto record = Record();
      auto context = ep.BeginTransfer(buffer.data(), 4, record);
      ASSERT_TRUE(context);
      const auto& call = driver.calls.at(0);
      EXPECT_EQ(ep.LastError, usb::kErrorIoPending);
      if (direct) {
        EXPECT_EQ(call.code, usb::kRequestDirectTransfer);
        EXPECT_EQ(call.in, Header(address, 0, 0));
        EXPECT_EQ(call.out, buffer.data());
        EXPECT_EQ(call.out_size, 4u);
      } else {
        Bytes expected = Header(address, 38, 4);
        expected.insert(expected.end(), {1, 2, 3, 4});  // the data go along for IN pipes too
        EXPECT_EQ(call.code, usb::kRequestBufferedTransfer);
        EXPECT_EQ(call.in, expected);
        EXPECT_EQ(call.out_size, 42u);
        std::memset(call.out + 38, 9, 4);
      }
      driver.outcomes = {{true, true, direct ? 4u : 42u, 0}};
      std::int32_t length = -1;
      EXPECT_TRUE(ep.FinishTransfer(buffer.data(), length, record, std::move(context), nullptr));
      EXPECT_EQ(length, 4);
      EXPECT_EQ(ep.BytesTransferred, 4u);
      EXPECT_EQ(buffer, !direct && address == 0x86 ? Bytes({9, 9, 9, 9}) : Bytes({1, 2, 3, 4}));
    }
  }
}

TEST(UsbControlEndPoint, SetupFieldsAndTimeoutInWholeSeconds) {
  const std::pair<std::uint32_t, std::uint32_t> timeouts[] = {{9000, 9}, {0, 0}, {1999, 1}, {500, 1}};
  for (const auto& [ms, seconds] : timeouts) {
    FakeDriver driver;
    usb::UsbControlEndPoint ep(kHandle, {});
    ep.TimeoutMs = ms;
    ep.Direction = 1;
    ep.RequestType = 1;
    ep.Recipient = 2;
    ep.bRequest = 0x33;
    ep.wValue = 0x1234;
    ep.wIndex = 0x5678;
    Bytes buffer{0xAA, 0xBB, 0xCC};
    auto record = Record();
    ASSERT_TRUE(ep.BeginTransfer(buffer.data(), 3, record));
    Bytes expected = Header(0, 38, 3);
    expected[0] = 0xA2;
    expected[1] = 0x33;
    usb::WriteLe16(&expected[2], 0x1234);
    usb::WriteLe16(&expected[4], 0x5678);
    usb::WriteLe16(&expected[6], 3);
    usb::WriteLe32(&expected[8], seconds);
    expected.insert(expected.end(), {0xAA, 0xBB, 0xCC});
    EXPECT_EQ(driver.calls.at(0).code, usb::kRequestControlTransfer);
    EXPECT_EQ(driver.calls[0].in, expected) << ms;
    EXPECT_TRUE(ep.DirectionIn);
  }
  FakeDriver driver;
  usb::UsbControlEndPoint ep(kHandle, {});
  auto record = Record();
  ASSERT_TRUE(ep.BeginTransfer(nullptr, 0, record));
  EXPECT_EQ(driver.calls.at(0).in.size(), 38u);
  EXPECT_EQ(driver.calls[0].in[0], 0x40);  // vendor request to the device, host to device
}

TEST(UsbIsocEndPoint, PacketTablesAndTheirReturn) {
  FakeDriver driver;
  usb::UsbIsocEndPoint ep(kHandle, Bytes{7, 5, 0x81, 1, 0x00, 0x11, 1});  // 3 x 256 bytes a packet
  ASSERT_EQ(ep.EffectiveMaxPacket, 768);
  Bytes buffer(1000, 0x5A);
  auto record = Record();
  auto direct = ep.BeginTransfer(buffer.data(), 1000, record);  // two packets
  Bytes expected = Header(0x81, 0, 0, 16);
  expected.resize(54, 0);
  EXPECT_EQ(driver.calls.at(0).code, usb::kRequestDirectTransfer);
  EXPECT_EQ(driver.calls[0].in, expected);
  EXPECT_EQ(driver.calls[0].out_size, 1000u);

  ep.DirectIo = 0;
  auto buffered = ep.BeginTransfer(buffer.data(), 1000, record);
  expected = Header(0x81, 54, 1000, 16);
  expected.resize(54, 0);
  expected.insert(expected.end(), buffer.begin(), buffer.end());
  EXPECT_EQ(driver.calls.at(1).code, usb::kRequestBufferedTransfer);
  EXPECT_EQ(driver.calls[1].in, expected);
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

TEST(UsbEndPoint, FinishTransferLengthsStatusAndBounds) {
  struct Case {
    bool direct;
    std::uint32_t count;
    std::int32_t length;
    bool success;
  };
  const Case cases[] = {
      {true, 0, 0, true},
      {false, 0, 0, true},
      {true, 10, 10, true},
      {false, 48, 10, true},
      {false, 20, -18, true},  // fewer bytes than the header: negative, nothing
                               // copied
      {true, 100, 16, true},
      {false, 500, 16, true},  // more than the buffer holds: clamped
      {false, 54, 16, false},  // a failure still reports the length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "direct " << c.direct << " count " << c.count);
    FakeDriver driver;
    usb::UsbBulkEndPoint ep(kHandle, kBulkIn);
    ep.DirectIo = c.direct ? 1 : 0;
    Bytes buffer(16, 0);
    auto record = Record();
    auto context = ep.BeginTransfer(buffer.data(), 16, record);
    if (!c.direct) std::fill_n(driver.calls[0].out + 38, 16, std::uint8_t{0x42});
    driver.outcomes = {{true, c.success, c.count, c.success ? 0u : 31u}};
    std::array<std::uint8_t, 4> packets{0xEE, 0xEE, 0xEE, 0xEE};
    std::int32_t length = 0;
    EXPECT_EQ(ep.FinishTransfer(buffer.data(), length, record, std::move(context), packets.data()),
              c.success);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(buffer[0], !c.direct && c.length > 0 ? 0x42 : 0);
    EXPECT_EQ(packets[0], 0xEE);  // a bulk transfer has no packet table
  }
  // Status words written by the driver fail the transfer.
  FakeDriver driver;
  usb::UsbBulkEndPoint ep(kHandle, Bytes{7, 5, 0x02, 2, 0, 2, 0});
  ep.DirectIo = 0;
  Bytes buffer(4, 0);
  auto record = Record();
  auto context = ep.BeginTransfer(buffer.data(), 4, record);
  usb::WriteLe32(driver.calls[0].out + 18, 0xC0000011);
  driver.outcomes = {{true, true, 42, 0}};
  std::int32_t length = 0;
  EXPECT_FALSE(ep.FinishTransfer(buffer.data(), length, record, std::move(context), nullptr));
  EXPECT_EQ(ep.TransferStatus, 0xC0000011u);
}

TEST(UsbEndPoint, WaitAbortAndClosedDevice) {
  FakeDriver driver;
  usb::UsbBulkEndPoint ep(kHandle, kBulkIn);
  usb::CompletionRecord none{};
  ep.LastError = 0;
  EXPECT_TRUE(ep.WaitForTransfer(none, 0));  // completed when issued
  auto record = Record();
  ep.LastError = usb::kErrorIoPending;
  EXPECT_FALSE(ep.WaitForTransfer(record, 9000));  // shortened by the event's divisor
  record.event->Signal();
  EXPECT_TRUE(ep.WaitForTransfer(record, 9000));
  record.event->Signal();
  ep.LastError = usb::kErrorGenFailure;
  EXPECT_FALSE(ep.WaitForTransfer(record, 9000));

  EXPECT_TRUE(ep.Abort());
  EXPECT_EQ(driver.calls.at(0).code, usb::kRequestAbortPipe);
  EXPECT_EQ(driver.calls[0].in, Bytes{0x86});
  EXPECT_EQ(driver.calls[0].out_size, 0u);
  driver.request_ok = false;
  EXPECT_FALSE(ep.Abort());
  EXPECT_EQ(ep.LastError, usb::kErrorGenFailure);

  usb::UsbBulkEndPoint closed(usb::kInvalidHandle, kBulkIn);
  Bytes buffer(4);
  EXPECT_FALSE(closed.BeginTransfer(buffer.data(), 4, record));
  EXPECT_EQ(driver.calls.size(), 2u);
}

TEST(UsbEndPoint, AnUnfinishedTransferIsWaitedForOrKeptAlive) {
  FakeDriver driver;
  usb::UsbBulkEndPoint ep(kHandle, kBulkIn);
  Bytes buffer(8);
  auto record = Record();
  const std::size_t stranded = usb::StrandedTransferCount();
  // Still running at the first look, ended after the wait: collected normally.
  auto context = ep.BeginTransfer(buffer.data(), 8, record);
  driver.outcomes = {{false, false, 0, usb::kErrorIoIncomplete}, {true, true, 8, 0}};
  std::int32_t length = 0;
  EXPECT_TRUE(ep.FinishTransfer(buffer.data(), length, record, std::move(context), nullptr));
  EXPECT_EQ(length, 8);
  EXPECT_EQ(usb::StrandedTransferCount(), stranded);
  // Never ends: the request buffer is kept, not freed under the driver.
  context = ep.BeginTransfer(buffer.data(), 8, record);
  driver.outcomes = {{false, false, 0, usb::kErrorIoIncomplete}};
  EXPECT_FALSE(ep.FinishTransfer(buffer.data(), length, record, std::move(context), nullptr));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(usb::StrandedTransferCount(), stranded + 1);
}

}  // namespace
