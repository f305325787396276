// Opening a device whose descriptors come from the fuzz input: the device descriptor, the
// configuration descriptors, the language table and string descriptors as raw bytes (their
// length bytes may lie), the driver version, the bus speed and the alternate setting. The
// descriptor walk must stay inside what was read, and every endpoint it names must be a real
// object of the active interface entry.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "drivers/sim/sim_driver.h"
#include "fuzz_support.h"
#include "usb/device.h"
#include "usb/transfer_request.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The simulated module, except that string descriptors are served exactly as the input gives
// them, and a driver that may claim to have filled the whole buffer however little it wrote.
class RawStringDriver final : public sim::SimDriver {
 public:
  RawStringDriver(sim::Options options, std::vector<Bytes> strings, bool claims_full)
      : sim::SimDriver(std::move(options)), strings_(std::move(strings)), claims_full_(claims_full) {}

  bool Request(usb::Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
               std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) override {
    if (code != usb::kRequestControlTransfer || strings_.empty() || in == nullptr || out == nullptr ||
        in_size < usb::kTransferRequestSize || out_size < usb::kTransferRequestSize) {
      return sim::SimDriver::Request(handle, code, in, in_size, out, out_size, returned);
    }
    const usb::TransferRequest header = usb::DecodeTransferRequest({in, in_size});
    if ((header.wValue >> 8) != 3)
      return sim::SimDriver::Request(handle, code, in, in_size, out, out_size, returned);
    const Bytes& raw = strings_[(header.wValue & 0xFF) % strings_.size()];
    const std::size_t room = out_size - usb::kTransferRequestSize;
    const std::size_t n = std::min({raw.size(), room, std::size_t{header.wLength}});
    if (in != out) std::memmove(out, in, usb::kTransferRequestSize);
    std::copy_n(raw.begin(), n, out + usb::kTransferRequestSize);
    returned = claims_full_ ? out_size : static_cast<std::uint32_t>(usb::kTransferRequestSize + n);
    return true;
  }

 private:
  std::vector<Bytes> strings_;
  bool claims_full_;
};

Bytes ConsumeBytes(FuzzedDataProvider& input, std::size_t most) {
  return input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, most));
}

bool OwnedByActiveEntry(const usb::UsbDevice& device, const usb::UsbEndPoint* endpoint) {
  if (endpoint == nullptr) return true;
  if (device.ActiveInterface == nullptr) return false;
  for (std::size_t slot = 1; slot < usb::kEndPointSlots; ++slot) {
    if (device.ActiveInterface->EndPoint(slot) == endpoint) return true;
  }
  return false;
}

void CheckTyped(const usb::UsbDevice& device, const usb::UsbEndPoint* endpoint, std::uint8_t kind, bool in) {
  fuzz::Check(OwnedByActiveEntry(device, endpoint), "typed endpoint belongs to the active entry");
  if (endpoint == nullptr) return;
  fuzz::Check(endpoint->bmAttributes == kind, "typed endpoint has its kind");
  fuzz::Check(((endpoint->bEndpointAddress & 0x80) != 0) == in, "typed endpoint has its direction");
}

// Reads every field a caller may read; the sanitizers judge the reads.
std::uint64_t Touch(const usb::UsbEndPoint* endpoint) {
  if (endpoint == nullptr) return 0;
  return endpoint->bLength + endpoint->bDescriptorType + endpoint->bEndpointAddress + endpoint->bmAttributes +
         endpoint->EffectiveMaxPacket + endpoint->TransactionsPerMicroframe + endpoint->bInterval +
         endpoint->DirectIo + endpoint->TimeoutMs + (endpoint->DirectionIn ? 1u : 0u);
}

void Inspect(usb::UsbDevice& device) {
  volatile std::uint64_t sink = 0;
  for (const auto& configuration : device.Configurations) {
    if (!configuration) continue;
    fuzz::Check(configuration->InterfaceEntryCount <= usb::kMaxInterfaceEntries, "entry count bounded");
    for (const auto& entry : configuration->Interfaces) {
      if (!entry) continue;
      for (std::size_t slot = 0; slot < usb::kEndPointSlots + 1; ++slot)
        sink = sink + Touch(entry->EndPoint(slot));
    }
  }
  CheckTyped(device, device.BulkInEndPoint, 2, true);
  CheckTyped(device, device.BulkOutEndPoint, 2, false);
  CheckTyped(device, device.IsocInEndPoint, 1, true);
  CheckTyped(device, device.IsocOutEndPoint, 1, false);
  CheckTyped(device, device.InterruptInEndPoint, 3, true);
  CheckTyped(device, device.InterruptOutEndPoint, 3, false);
  fuzz::Check(device.ActiveEndPointCount() <= usb::kEndPointSlots, "endpoint count bounded");
  for (const auto* text : {&device.ManufacturerString, &device.ProductString, &device.SerialNumber}) {
    fuzz::Check(text->back() == 0, "string areas stay terminated");
    sink = sink + usb::Utf16ToUtf8(text->data(), text->size()).size();
  }
  sink = sink + Touch(device.ControlEndPoint) + device.CopyDeviceDescriptor()[17];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  sim::ModuleConfig module;
  module.high_speed = input.ConsumeBool();
  module.alt_setting = input.ConsumeIntegral<std::uint8_t>();
  module.driver_version = input.ConsumeBool() ? 0x01050500u : input.ConsumeIntegral<std::uint32_t>();
  module.faults.open_fails = input.ConsumeProbability<float>() < 0.05f;
  module.faults.strings_unreadable = input.ConsumeProbability<float>() < 0.05f;
  module.faults.config_unreadable = input.ConsumeProbability<float>() < 0.05f;
  const bool narrowed = input.ConsumeProbability<float>() < 0.1f;
  const bool raw_strings = input.ConsumeBool();
  const bool claims_full = input.ConsumeBool();
  const int devices = input.ConsumeIntegralInRange(0, 2);

  module.device_descriptor = ConsumeBytes(input, 24);
  module.config_descriptors.resize(input.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (Bytes& config : module.config_descriptors) config = ConsumeBytes(input, 700);
  module.languages.clear();
  for (std::size_t n = input.ConsumeIntegralInRange<std::size_t>(0, 4); n > 0; --n) {
    module.languages.push_back(input.ConsumeIntegral<std::uint16_t>());
  }
  std::vector<Bytes> strings;
  if (raw_strings) {
    for (int i = 0; i < 4; ++i) strings.push_back(ConsumeBytes(input, 260));
  }
  module.manufacturer = input.ConsumeRandomLengthString(80);
  module.product = input.ConsumeRandomLengthString(80);
  module.serial = input.ConsumeRemainingBytesAsString();

  sim::Options options;
  options.modules.assign(static_cast<std::size_t>(devices), module);
  RawStringDriver driver(std::move(options), std::move(strings), claims_full);
  std::vector<usb::UsbId> selection;
  if (narrowed && module.device_descriptor.size() >= 12) {
    selection.push_back({usb::ReadLe16(module.device_descriptor.data() + 8),
                         usb::ReadLe16(module.device_descriptor.data() + 10)});
  }
  {
    usb::UsbDevice device(driver, nullptr, usb::kModuleInterfaceGuid, false);
    device.Selection = selection;
    device.Open(0);
    Inspect(device);
    device.SelectAltSetting(module.alt_setting ^ 1);
    Inspect(device);
    device.SelectConfiguration(1);
    Inspect(device);
    // Opening again closes the first handle and rebuilds everything.
    device.Open(0);
    Inspect(device);
    device.Destroy();
    Inspect(device);
  }
  fuzz::Check(driver.OpenHandles() == 0, "every handle is closed");
  return 0;
}
