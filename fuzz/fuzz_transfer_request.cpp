// The 38-byte driver request header. Any 38 bytes decode to a header that encodes back to the
// same bytes, and any header survives an encode and decode. Then a transfer of any kind and
// length goes through an endpoint to a driver that decodes the request it was handed, checks
// that the header describes exactly the buffers it got, and answers with arbitrary status
// words, data and byte counts; finishing the transfer must stay inside the caller's buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "usb/driver.h"
#include "usb/endpoint.h"
#include "usb/transfer_request.h"

namespace {

struct Done final : usb::PendingRequest {
  usb::OverlappedOutcome outcome;
};

// Serves every overlapped request at once from the fuzz input.
class DecodingDriver final : public usb::Driver {
 public:
  explicit DecodingDriver(FuzzedDataProvider& input) : input_(input) {}

  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&, std::span<const usb::UsbId>) override {
    return nullptr;
  }
  usb::Handle Open(const std::string&, usb::OpenFailure&) override { return usb::kInvalidHandle; }
  bool Close(usb::Handle) override { return true; }
  bool Request(usb::Handle, std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t,
               std::uint32_t& returned) override {
    returned = 0;
    return true;
  }
  std::shared_ptr<usb::Event> CreateEvent() override { return usb::MakePortableEvent(1000); }

  std::uint32_t RequestOverlapped(usb::Handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  usb::CompletionRecord& record) override {
    fuzz::Check(in != nullptr && in_size >= usb::kTransferRequestSize, "a request carries its header");
    const usb::TransferRequest header = usb::DecodeTransferRequest({in, in_size});
    const std::uint64_t table_end = std::uint64_t{header.PacketTableOffset} + header.PacketTableLength;
    const std::uint64_t data_end = std::uint64_t{header.DataOffset} + header.DataLength;
    if (header.PacketTableLength != 0) {
      fuzz::Check(header.PacketTableOffset >= usb::kTransferRequestSize && table_end <= in_size,
                  "the packet table lies inside the request");
    }
    if (code == usb::kRequestBufferedTransfer || code == usb::kRequestControlTransfer) {
      fuzz::Check(in == out && in_size == out_size, "a buffered request is its own answer buffer");
      fuzz::Check(header.DataOffset >= usb::kTransferRequestSize && data_end == in_size,
                  "buffered data fill the request's tail");
      fuzz::Check(header.PacketTableLength == 0 || table_end <= header.DataOffset,
                  "the packet table stands before the data");
    } else {
      fuzz::Check(code == usb::kRequestDirectTransfer, "a transfer is direct, buffered or control");
      fuzz::Check(header.DataOffset == 0 && header.DataLength == 0, "a direct request carries no data");
    }
    last_size = out_size;
    // The driver's answer: data into the answer buffer, status words into the header of a
    // buffered request, and a byte count that may be anything.
    if (out != nullptr && out_size > 0) {
      const std::vector<std::uint8_t> bytes = input_.ConsumeBytes<std::uint8_t>(out_size);
      if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    }
    auto done = std::make_shared<Done>();
    done->outcome.complete = true;
    done->outcome.success = input_.ConsumeBool();
    done->outcome.transferred = input_.ConsumeIntegral<std::uint32_t>();
    record.pending = done;
    return 0;
  }

  usb::OverlappedOutcome Collect(usb::Handle, usb::CompletionRecord& record) override {
    auto* done = static_cast<Done*>(record.pending.get());
    return done != nullptr ? done->outcome : usb::OverlappedOutcome{true, false, 0, usb::kErrorGenFailure};
  }

  std::uint32_t last_size = 0;

 private:
  FuzzedDataProvider& input_;
};

void RoundTrip(const std::uint8_t* data) {
  const std::span<const std::uint8_t> bytes(data, usb::kTransferRequestSize);
  const usb::TransferRequest decoded = usb::DecodeTransferRequest(bytes);
  std::array<std::uint8_t, usb::kTransferRequestSize + 8> encoded;
  encoded.fill(0xEE);
  usb::EncodeTransferRequest(decoded, encoded);
  fuzz::Check(std::memcmp(encoded.data(), data, usb::kTransferRequestSize) == 0,
              "decode then encode is identity");
  for (std::size_t i = usb::kTransferRequestSize; i < encoded.size(); ++i) {
    fuzz::Check(encoded[i] == 0xEE, "encoding writes 38 bytes only");
  }
  // Little-endian at fixed offsets, whatever the host's order.
  fuzz::Check(decoded.wValue == (data[2] | data[3] << 8), "wValue at offset 2");
  fuzz::Check(decoded.DataLength == usb::ReadLe32(data + 34), "DataLength at offset 34");

  usb::TransferRequest header = decoded;
  header.DataOffset ^= 0x80000001u;
  header.wIndex = static_cast<std::uint16_t>(header.wIndex + 1);
  std::array<std::uint8_t, usb::kTransferRequestSize> again{};
  usb::EncodeTransferRequest(header, again);
  fuzz::Check(usb::DecodeTransferRequest(again) == header, "encode then decode is identity");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < usb::kTransferRequestSize) return 0;
  RoundTrip(data);

  FuzzedDataProvider input(data + usb::kTransferRequestSize, size - usb::kTransferRequestSize);
  DecodingDriver driver(input);

  std::array<std::uint8_t, 7> descriptor{};
  for (auto& byte : descriptor) byte = input.ConsumeIntegral<std::uint8_t>();
  descriptor[3] &= 3;
  std::unique_ptr<usb::UsbEndPoint> endpoint;
  switch (descriptor[3]) {
    case 0: {
      auto control = std::make_unique<usb::UsbControlEndPoint>(driver, 1, descriptor);
      control->Direction = input.ConsumeIntegral<std::uint32_t>();
      control->RequestType = input.ConsumeIntegral<std::uint32_t>();
      control->Recipient = input.ConsumeIntegral<std::uint32_t>();
      control->TimeoutMs = input.ConsumeIntegral<std::uint32_t>();
      endpoint = std::move(control);
      break;
    }
    case 1:
      endpoint = std::make_unique<usb::UsbIsocEndPoint>(driver, 1, descriptor);
      break;
    case 2:
      endpoint = std::make_unique<usb::UsbBulkEndPoint>(driver, 1, descriptor);
      break;
    default:
      endpoint = std::make_unique<usb::UsbInterruptEndPoint>(driver, 1, descriptor);
      break;
  }
  endpoint->DirectIo = input.ConsumeBool() ? 1 : 0;

  // The caller's buffer, with guard bytes behind the transfer's length.
  const std::int32_t length = input.ConsumeIntegralInRange<std::int32_t>(-8, 3000);
  const std::size_t used = length > 0 ? static_cast<std::size_t>(length) : 0;
  std::vector<std::uint8_t> buffer(used + 16, 0x5A);
  // Room for the packet table of the smallest packets: 8 bytes per packet.
  std::vector<std::uint8_t> packets(8 * (used + 1), 0);
  const bool want_packets = input.ConsumeBool();
  usb::CompletionRecord record{driver.CreateEvent(), nullptr};
  usb::TransferContextPtr context = endpoint->BeginTransfer(buffer.data(), length, record);
  if (context) {
    std::int32_t count = length;
    endpoint->FinishTransfer(buffer.data(), count, record, std::move(context),
                             want_packets ? packets.data() : nullptr);
    fuzz::Check(count <= static_cast<std::int32_t>(used), "no more bytes than the transfer could carry");
    for (std::size_t i = used; i < buffer.size(); ++i)
      fuzz::Check(buffer[i] == 0x5A, "nothing past the buffer");
  }
  return 0;
}
