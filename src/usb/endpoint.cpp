// Endpoint objects: overlapped transfers through the driver's transfer requests.
#include "usb/endpoint.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace usb {
TransferContext::TransferContext(std::size_t size) {
  if (size <= inline_.size()) {
    request = std::span<std::uint8_t>(inline_.data(), size);
  } else {
    heap_ = std::make_unique<std::uint8_t[]>(size);  // value-initialised: zero-filled
    request = std::span<std::uint8_t>(heap_.get(), size);
  }
}

namespace {

constexpr std::uint32_t kHeader = static_cast<std::uint32_t>(kTransferRequestSize);
constexpr std::uint32_t kPacketRecordSize = 8;
constexpr std::uint32_t kCollectWaitMs = 2000;

// A transfer the driver still owned when it was finished: its buffers and completion objects
// must outlive anything the driver may still write.
struct StrandedTransfer {
  TransferContextPtr context;
  std::shared_ptr<Event> event;
  std::shared_ptr<PendingRequest> pending;
};

// A caller's length as a byte count: a negative length or a missing buffer moves nothing.
std::uint32_t ByteCount(const std::uint8_t* buffer, std::int32_t length) {
  if (buffer == nullptr || length <= 0) return 0;
  return static_cast<std::uint32_t>(length);
}

TransferContextPtr NewContext(UsbEndPoint& ep, std::size_t size) {
  if (ep.SpareContext && ep.SpareContext->request.size() == size) {
    TransferContextPtr context = std::move(ep.SpareContext);
    std::fill(context->request.begin(), context->request.end(), std::uint8_t{0});
    return context;
  }
  return std::make_unique<TransferContext>(size);
}

void CopyStatusWords(const TransferContext& context, std::uint32_t& transfer_status,
                     std::uint32_t& request_status) {
  if (context.request.size() < kTransferRequestSize) return;
  const StatusWords status = ReadStatusWords(context.request);
  request_status = status.request;
  transfer_status = status.transfer;
}

// Starts one data transfer of n bytes on `ep`. Direct: only the header and the packet table go
// to the driver, which moves the data straight to or from `buffer`. Buffered: the data travel
// inside the request. `table` is the size of the packet table behind the header, 0 for every
// pipe but an isochronous one. Returns nullptr when nothing was started.
TransferContextPtr StartDataTransfer(UsbEndPoint& ep, bool direct, std::uint8_t* buffer, std::uint32_t n,
                                     std::uint64_t table, CompletionRecord& record) {
  if (ep.DeviceHandle == kInvalidHandle) return nullptr;
  const std::uint32_t carried = direct ? 0 : n;
  if (kHeader + table + carried > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  const auto table32 = static_cast<std::uint32_t>(table);
  const std::uint32_t data_offset = direct ? 0 : kHeader + table32;
  TransferContextPtr context = NewContext(ep, std::size_t{kHeader} + table32 + carried);
  TransferRequest header;
  header.EndpointAddress = ep.bEndpointAddress;
  header.PacketTableOffset = table32 > 0 ? kHeader : 0;
  header.PacketTableLength = table32;
  header.DataOffset = data_offset;
  header.DataLength = carried;
  EncodeTransferRequest(header, context->request);
  // The data go along for IN pipes too; the driver overwrites them.
  if (carried > 0) std::memcpy(context->request.data() + data_offset, buffer, carried);
  context->PacketTableOffset = header.PacketTableOffset;
  context->PacketTableLength = table32;
  context->DataOffset = data_offset;
  context->DataLength = n;
  const auto size = static_cast<std::uint32_t>(context->request.size());
  std::uint8_t* request = context->request.data();
  ep.LastError = direct ? ep.driver().RequestOverlapped(ep.DeviceHandle, kRequestDirectTransfer, request,
                                                        size, buffer, n, record)
                        : ep.driver().RequestOverlapped(ep.DeviceHandle, kRequestBufferedTransfer, request,
                                                        size, request, size, record);
  CopyStatusWords(*context, ep.TransferStatus, ep.RequestStatus);
  return context;
}

// Slot 2 of the data pipes: the form the driver's version allows.
TransferContextPtr BeginEitherForm(UsbEndPoint& ep, std::uint8_t* buffer, std::int32_t length,
                                   CompletionRecord& record) {
  return ep.DirectIo == 1 ? ep.BeginDirect(buffer, length, record) : ep.BeginBuffered(buffer, length, record);
}

}  // namespace

UsbEndPoint::UsbEndPoint(Driver& driver, Handle device_handle, std::span<const std::uint8_t> descriptor)
    : DeviceHandle(device_handle), driver_(&driver) {
  if (descriptor.size() >= 7) {
    const std::uint16_t max_packet = ReadLe16(descriptor.data() + 4);
    TransactionsPerMicroframe = static_cast<std::uint16_t>(((max_packet >> 11) & 3) + 1);
    bLength = descriptor[0];
    bDescriptorType = descriptor[1];
    bEndpointAddress = descriptor[2];
    bmAttributes = descriptor[3];
    EffectiveMaxPacket = static_cast<std::uint16_t>((max_packet & 0x7FF) * TransactionsPerMicroframe);
    bInterval = descriptor[6];
    DirectionIn = (bEndpointAddress & 0x80) != 0;
  }
  TimeoutMs = 10000;
  DirectIo = 1;
}

TransferContextPtr UsbEndPoint::BeginDirect(std::uint8_t* buffer, std::int32_t length,
                                            CompletionRecord& record) {
  return StartDataTransfer(*this, true, buffer, ByteCount(buffer, length), 0, record);
}

TransferContextPtr UsbEndPoint::BeginBuffered(std::uint8_t* buffer, std::int32_t length,
                                              CompletionRecord& record) {
  return StartDataTransfer(*this, false, buffer, ByteCount(buffer, length), 0, record);
}

bool UsbEndPoint::FinishTransfer(std::uint8_t* buffer, std::int32_t& length, CompletionRecord& record,
                                 TransferContextPtr context, std::uint8_t* packets) {
  if (!context) {
    length = 0;
    BytesTransferred = 0;
    return false;
  }
  Driver& driver = *driver_;
  OverlappedOutcome outcome = driver.Collect(DeviceHandle, record);
  if (!outcome.complete) {
    // The driver still owns the buffers. Give it time to end the transfer; the event may have
    // been consumed by an earlier wait, so the outcome is asked for again either way.
    if (record.event) record.event->Wait(kCollectWaitMs);
    outcome = driver.Collect(DeviceHandle, record);
  }
  if (!outcome.complete) {
    // Freeing the request now would let the driver write into released memory: keep it.
    KeepUntilExit(std::make_shared<StrandedTransfer>(
        StrandedTransfer{std::move(context), record.event, record.pending}));
    ++StrandedTransfers;
    length = 0;
    BytesTransferred = 0;
    return false;
  }

  LastError = outcome.success ? kErrorSuccess : outcome.error;  // why a transfer ended short
  const std::uint32_t b = outcome.transferred;
  std::int64_t count = b != 0 ? std::int64_t{b} - std::int64_t{context->DataOffset} : 0;
  // A driver that claims more than the transfer could carry is not believed beyond its size.
  count = std::min<std::int64_t>(count, context->DataLength);
  length = static_cast<std::int32_t>(std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
  BytesTransferred = length > 0 ? static_cast<std::uint32_t>(length) : 0;
  CopyStatusWords(*context, TransferStatus, RequestStatus);

  const std::size_t request_size = context->request.size();
  if (DirectionIn && DirectIo == 0 && length > 0 && buffer != nullptr && context->DataOffset < request_size) {
    const std::size_t available = request_size - context->DataOffset;
    const std::size_t copy = std::min<std::size_t>(static_cast<std::size_t>(length), available);
    std::memcpy(buffer, context->request.data() + context->DataOffset, copy);
  }
  if (packets != nullptr && length > 0 && context->PacketTableLength > 0) {
    std::memset(packets, 0, context->PacketTableLength);
    const std::size_t offset = context->PacketTableOffset;
    if (offset < request_size) {
      const std::size_t copy = std::min<std::size_t>(context->PacketTableLength, request_size - offset);
      std::memcpy(packets, context->request.data() + offset, copy);
    }
  }
  SpareContext = std::move(context);  // the driver is done with it
  return outcome.success && TransferStatus == 0 && RequestStatus == 0;
}

bool UsbEndPoint::WaitForTransfer(CompletionRecord& record, std::uint32_t ms) {
  if (LastError == kErrorSuccess) return true;
  if (LastError != kErrorIoPending || !record.event) return false;
  return record.event->Wait(ms) == WaitResult::Signalled;
}

bool UsbEndPoint::Abort() {
  std::uint8_t address = bEndpointAddress;
  std::uint32_t returned = 0;
  return driver_->Request(DeviceHandle, kRequestAbortPipe, &address, 1, nullptr, 0, returned);
}

UsbControlEndPoint::UsbControlEndPoint(Driver& driver, Handle device_handle,
                                       std::span<const std::uint8_t> descriptor)
    : UsbEndPoint(driver, device_handle, descriptor) {
  Recipient = 0;
  Direction = 0;
  bRequest = 0;
  DirectIo = 0;
  RequestType = 2;
  wValue = 0;
  wIndex = 0;
}

TransferContextPtr UsbControlEndPoint::BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                                     CompletionRecord& record) {
  if (DeviceHandle == kInvalidHandle) return nullptr;
  const std::uint32_t n = ByteCount(buffer, length);
  TransferRequest header;
  header.bmRequestType =
      static_cast<std::uint8_t>((Direction & 1) * 128 + (RequestType & 3) * 32 + (Recipient & 0x1F));
  DirectionIn = Direction == 1;
  TransferContextPtr context = NewContext(*this, std::size_t{kHeader} + n);
  header.TimeoutSeconds = (TimeoutMs > 0 && TimeoutMs < 1000) ? 1 : TimeoutMs / 1000;
  header.bRequest = bRequest;
  header.wValue = wValue;
  header.wIndex = wIndex;
  header.wLength = static_cast<std::uint16_t>(n);
  header.EndpointAddress = 0;
  header.DataOffset = kHeader;
  header.DataLength = n;
  EncodeTransferRequest(header, context->request);
  if (n > 0) std::memcpy(context->request.data() + kHeader, buffer, n);
  context->DataOffset = kHeader;
  context->DataLength = n;
  const auto size = static_cast<std::uint32_t>(context->request.size());
  LastError = driver().RequestOverlapped(DeviceHandle, kRequestControlTransfer, context->request.data(), size,
                                         context->request.data(), size, record);
  return context;
}

namespace {

// The packet table's size for an isochronous transfer of n bytes; 0 when nothing can start.
std::uint64_t PacketTableBytes(std::uint32_t n, std::uint16_t max_packet) {
  if (max_packet == 0) return 0;
  const std::uint64_t packets = n / max_packet + (n % max_packet != 0 ? 1 : 0);
  return packets * kPacketRecordSize;
}

}  // namespace

TransferContextPtr UsbIsocEndPoint::BeginDirect(std::uint8_t* buffer, std::int32_t length,
                                                CompletionRecord& record) {
  const std::uint32_t n = ByteCount(buffer, length);
  const std::uint64_t table = PacketTableBytes(n, EffectiveMaxPacket);
  if (table == 0) return nullptr;
  return StartDataTransfer(*this, true, buffer, n, table, record);
}

TransferContextPtr UsbIsocEndPoint::BeginBuffered(std::uint8_t* buffer, std::int32_t length,
                                                  CompletionRecord& record) {
  const std::uint32_t n = ByteCount(buffer, length);
  const std::uint64_t table = PacketTableBytes(n, EffectiveMaxPacket);
  if (table == 0) return nullptr;
  return StartDataTransfer(*this, false, buffer, n, table, record);
}

TransferContextPtr UsbIsocEndPoint::BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                                  CompletionRecord& record) {
  return BeginEitherForm(*this, buffer, length, record);
}

TransferContextPtr UsbBulkEndPoint::BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                                  CompletionRecord& record) {
  return BeginEitherForm(*this, buffer, length, record);
}

TransferContextPtr UsbInterruptEndPoint::BeginTransfer(std::uint8_t* buffer, std::int32_t length,
                                                       CompletionRecord& record) {
  return BeginEitherForm(*this, buffer, length, record);
}

}  // namespace usb
