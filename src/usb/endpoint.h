// Endpoint objects: one pipe of the opened device each. A caller begins an overlapped transfer,
// waits for it, aborts the pipe when the wait fails, and finishes it exactly once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "usb/driver.h"
#include "usb/transfer_request.h"

namespace usb {

// The request buffer of one started transfer (header, packet table, data), owned by the
// transfer from its begin until FinishTransfer. A request of a header alone (every direct
// transfer) lives inside the context, so such a begin makes exactly one allocation.
struct TransferContext {
  explicit TransferContext(std::size_t size);
  TransferContext(const TransferContext&) = delete;
  TransferContext& operator=(const TransferContext&) = delete;

  std::span<std::uint8_t> request;  // zero-filled at creation
  std::uint32_t DataOffset = 0;
  std::uint32_t PacketTableOffset = 0;
  std::uint32_t PacketTableLength = 0;
  std::uint32_t DataLength = 0;  // data bytes the transfer was started with (its buffer's size)

 private:
  std::array<std::uint8_t, 40> inline_{};
  std::unique_ptr<std::uint8_t[]> heap_;
};
using TransferContextPtr = std::unique_ptr<TransferContext>;

class UsbEndPoint {
 public:
  // `descriptor` holds a USB endpoint descriptor (7 bytes), or is empty for an endpoint whose
  // descriptor fields the owner fills in (the device's control endpoint).
  UsbEndPoint(Driver& driver, Handle device_handle, std::span<const std::uint8_t> descriptor);
  virtual ~UsbEndPoint() = default;
  UsbEndPoint(const UsbEndPoint&) = delete;
  UsbEndPoint& operator=(const UsbEndPoint&) = delete;

  // Slot 0: the data move straight to or from `buffer`.
  virtual TransferContextPtr BeginDirect(std::uint8_t* buffer, std::int32_t length, CompletionRecord& record);
  // Slot 1: the data travel inside the request buffer.
  virtual TransferContextPtr BeginBuffered(std::uint8_t* buffer, std::int32_t length,
                                           CompletionRecord& record);
  // Slot 2: the transfer of this kind of endpoint; nullptr when nothing was started.
  virtual TransferContextPtr BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                           CompletionRecord& record) = 0;
  // Slot 3: collects the outcome without waiting, reports the data length, copies buffered IN
  // data into `buffer`, and releases the context. `packets` receives the isochronous packet table.
  virtual bool FinishTransfer(std::uint8_t* buffer, std::int32_t& length, CompletionRecord& record,
                              TransferContextPtr context, std::uint8_t* packets);

  // True when the transfer completed at once, or its event was signalled within `ms`.
  bool WaitForTransfer(CompletionRecord& record, std::uint32_t ms);
  // Asks the driver to end every transfer pending on this pipe.
  bool Abort();
  // The driver this endpoint's requests go to.
  Driver& driver() const { return *driver_; }

  Handle DeviceHandle;
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bEndpointAddress = 0;
  std::uint8_t bmAttributes = 0;
  std::uint16_t EffectiveMaxPacket = 0;
  std::uint16_t TransactionsPerMicroframe = 0;
  std::uint8_t bInterval = 0;
  std::uint32_t TimeoutMs = 10000;
  std::uint32_t TransferStatus = 0;
  std::uint32_t RequestStatus = 0;
  std::uint32_t BytesTransferred = 0;
  std::uint32_t LastError = 0;
  bool DirectionIn = false;
  std::uint32_t DirectIo = 1;
  // Transfers that FinishTransfer found still owned by the driver even after waiting for them.
  // Their request buffers and completion objects are kept until the process ends; the caller's
  // data buffer of such a transfer is still in the driver's hands too, so a caller that sees
  // this count above zero must never reuse or free that buffer.
  std::uint32_t StrandedTransfers = 0;
  // The request buffer of the last transfer that ended, taken again (cleared) by the next one of
  // the same size: a module's blocks then cost no allocation per transfer.
  TransferContextPtr SpareContext;

 private:
  Driver* driver_;
};

class UsbControlEndPoint : public UsbEndPoint {
 public:
  UsbControlEndPoint(Driver& driver, Handle device_handle, std::span<const std::uint8_t> descriptor);
  TransferContextPtr BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                   CompletionRecord& record) override;

  std::uint32_t Recipient = 0;
  std::uint32_t RequestType = 2;
  std::uint32_t Direction = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
};

class UsbIsocEndPoint : public UsbEndPoint {
 public:
  using UsbEndPoint::UsbEndPoint;
  TransferContextPtr BeginDirect(std::uint8_t* buffer, std::int32_t length,
                                 CompletionRecord& record) override;
  TransferContextPtr BeginBuffered(std::uint8_t* buffer, std::int32_t length,
                                   CompletionRecord& record) override;
  TransferContextPtr BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                   CompletionRecord& record) override;
};

class UsbBulkEndPoint : public UsbEndPoint {
 public:
  using UsbEndPoint::UsbEndPoint;
  TransferContextPtr BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                   CompletionRecord& record) override;
};

class UsbInterruptEndPoint : public UsbEndPoint {
 public:
  using UsbEndPoint::UsbEndPoint;
  TransferContextPtr BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                   CompletionRecord& record) override;
};

}  // namespace usb
