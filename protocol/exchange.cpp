#include "protocol/exchange.h"

#include <cstring>
#include <memory>

#include "console/catalogue.h"
#include "console/output.h"
#include "protocol/device_link.h"
#include "usb/endpoint.h"

namespace protocol {
namespace {

constexpr std::int32_t kFrame = 16;
constexpr std::uint8_t kClosingFrame[kFrame] = {0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0,
                                                0x80, 0,    0,    0,    0, 0, 0, 0};

// The exchange buffers are process-wide rather than on the stack: a transfer that the driver
// never gives back keeps writing into its buffer, which must then stay valid (and unused).
alignas(64) std::uint8_t send_buffer[kExchangeBufferSize];
alignas(64) std::uint8_t receive_buffer[kExchangeBufferSize];

bool EndsWithClosingFrame(const std::uint8_t* command, std::int32_t size) {
  const std::uint8_t* last = command + size - kFrame;
  return last[0] == 0x13 && last[1] == 0x37 && last[2] == 0xC0 && last[3] == 0xDE && (last[8] & 0x80) != 0;
}

// Waits for one transfer; on failure aborts the pipe, gives a pending transfer the extra time,
// and prints the entry's text. Returns false when the wait failed.
bool AwaitTransfer(usb::UsbEndPoint& endpoint, usb::CompletionRecord& record, bool started, const char* key) {
  if (started && endpoint.WaitForTransfer(record, kSendWaitMs)) return true;
  if (started) {
    endpoint.Abort();
    if (endpoint.LastError == usb::kErrorIoPending) record.event->Wait(kAbortWaitMs);
  }
  console::PrintWide("\n%s", console::ReadMessage("F006", key).c_str());
  return false;
}

// Collects one transfer and returns the byte count the endpoint reports (0 when it never started).
std::int32_t Collect(usb::UsbEndPoint& endpoint, std::uint8_t* buffer, std::int32_t preset,
                     usb::CompletionRecord& record, usb::TransferContextPtr context) {
  if (!context) return 0;
  std::int32_t count = preset;
  endpoint.FinishTransfer(buffer, count, record, std::move(context), nullptr);
  return count;
}

}  // namespace

std::int32_t ExchangeFrames(const std::uint8_t* command, std::int32_t command_size,
                            std::int32_t answer_length, std::uint8_t* answer) {
  if (command_size == 0) return 0;
  if (command_size % kFrame != 0) return 1;
  // Sizes the buffers cannot hold, or a buffer a lost transfer may still write into, are refused
  // before anything is sent.
  constexpr std::int32_t kLimit = kExchangeBufferSize - kFrame;
  if (command_size < 0 || command_size > kLimit || answer_length < 1 || answer_length > kLimit ||
      usb::StrandedTransferCount() != 0) {
    return 1;
  }
  DeviceLinkState& link = DeviceLink();
  if (link.BulkIn == nullptr || link.BulkOut == nullptr || link.TransferUnit <= 0) return 1;

  std::memcpy(send_buffer, command, static_cast<std::size_t>(command_size));
  if (answer_length % link.TransferUnit != 0 && !EndsWithClosingFrame(command, command_size)) {
    std::memcpy(send_buffer + command_size, kClosingFrame, kFrame);
    command_size += kFrame;
    answer_length += kFrame;
  }
  // Only the bytes this answer can occupy need clearing; nothing past them is ever read.
  std::memset(receive_buffer, 0, static_cast<std::size_t>(answer_length));

  usb::Driver& driver = usb::CurrentDriver();
  std::shared_ptr<usb::Event> send_event = driver.CreateEvent();
  if (!send_event) return 1;
  std::shared_ptr<usb::Event> receive_event = driver.CreateEvent();
  if (!receive_event) return 2;

  usb::CompletionRecord send_record{send_event, nullptr};
  usb::CompletionRecord receive_record{receive_event, nullptr};
  usb::UsbEndPoint& in = *link.BulkIn;
  usb::UsbEndPoint& out = *link.BulkOut;

  // The receive goes first so that the module's answer always has a transfer to land in.
  usb::TransferContextPtr receive_context = in.BeginTransfer(receive_buffer, answer_length, receive_record);
  usb::TransferContextPtr send_context = out.BeginTransfer(send_buffer, command_size, send_record);

  std::int32_t result = 0;
  if (!AwaitTransfer(out, send_record, send_context != nullptr, "S009")) result = 4;
  if (!AwaitTransfer(in, receive_record, receive_context != nullptr, "S010")) result = 5;

  if (Collect(out, send_buffer, command_size, send_record, std::move(send_context)) != command_size)
    result += 16;
  if (Collect(in, receive_buffer, answer_length, receive_record, std::move(receive_context)) ==
      answer_length) {
    std::memcpy(answer, receive_buffer, static_cast<std::size_t>(answer_length));
  } else {
    result += 32;
  }
  return result;
}

}  // namespace protocol
