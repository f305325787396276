// The 38-byte request header the driver reads: each field at its offset, least significant byte
// first, and read back as written.
#include <gtest/gtest.h>

#include <vector>

#include "usb/transfer_request.h"

namespace {

// Every field distinct, and each byte of a wide field distinct, so that a field at the wrong
// offset or in the wrong byte order shows.
usb::TransferRequest EveryFieldSet() {
  return {.bmRequestType = 0x01,
          .bRequest = 0x02,
          .wValue = 0x0403,
          .wIndex = 0x0605,
          .wLength = 0x0807,
          .TimeoutSeconds = 0x0C0B0A09,
          .Reserved = 0x0D,
          .EndpointAddress = 0x0E,
          .RequestStatus = 0x1211100F,
          .TransferStatus = 0x16151413,
          .PacketTableOffset = 0x1A191817,
          .PacketTableLength = 0x1E1D1C1B,
          .DataOffset = 0x2221201F,
          .DataLength = 0x26252423};
}

TEST(TransferRequest, EachFieldAtItsOffsetLeastSignificantByteFirst) {
  std::vector<std::uint8_t> bytes(usb::kTransferRequestSize + 2, 0xEE);
  usb::EncodeTransferRequest(EveryFieldSet(), bytes);
  std::vector<std::uint8_t> expected(usb::kTransferRequestSize);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::uint8_t>(i + 1);
  expected.insert(expected.end(), {0xEE, 0xEE});  // nothing written past the header
  EXPECT_EQ(bytes, expected);
}

TEST(TransferRequest, ReadsBackWhatWasWritten) {
  std::vector<std::uint8_t> bytes(usb::kTransferRequestSize);
  usb::EncodeTransferRequest(EveryFieldSet(), bytes);
  const usb::TransferRequest read = usb::DecodeTransferRequest(bytes);
  const usb::TransferRequest written = EveryFieldSet();
  EXPECT_EQ(read.bmRequestType, written.bmRequestType);
  EXPECT_EQ(read.bRequest, written.bRequest);
  EXPECT_EQ(read.wValue, written.wValue);
  EXPECT_EQ(read.wIndex, written.wIndex);
  EXPECT_EQ(read.wLength, written.wLength);
  EXPECT_EQ(read.TimeoutSeconds, written.TimeoutSeconds);
  EXPECT_EQ(read.Reserved, written.Reserved);
  EXPECT_EQ(read.EndpointAddress, written.EndpointAddress);
  EXPECT_EQ(read.RequestStatus, written.RequestStatus);
  EXPECT_EQ(read.TransferStatus, written.TransferStatus);
  EXPECT_EQ(read.PacketTableOffset, written.PacketTableOffset);
  EXPECT_EQ(read.PacketTableLength, written.PacketTableLength);
  EXPECT_EQ(read.DataOffset, written.DataOffset);
  EXPECT_EQ(read.DataLength, written.DataLength);
}

}  // namespace
