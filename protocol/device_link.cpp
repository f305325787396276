#include "protocol/device_link.h"

#include <new>

#include "console/catalogue.h"
#include "console/output.h"
#include "platform/platform.h"

namespace protocol {
namespace {

constexpr std::int32_t kAllocationFailed = 46;
constexpr std::int32_t kNoDevice = 50;
constexpr std::int32_t kSeveralDevices = 52;
constexpr std::int32_t kNotOpened = 5;
constexpr std::int32_t kNoBulkIn = 89;
constexpr std::int32_t kNoBulkOut = 94;
constexpr std::uint32_t kEndPointTimeoutMs = 9000;

void PrintEntry(const char* key) {
  console::PrintWide("\n%s", console::ReadMessage("F006", key).c_str());
}

std::int32_t Release(std::int32_t result) {
  CloseDeviceLink();
  return result;
}

}  // namespace

DeviceLinkState& DeviceLink() {
  static DeviceLinkState link;
  return link;
}

std::int32_t OpenDeviceLink() {
  DeviceLinkState& link = DeviceLink();
  link.BulkIn = nullptr;
  link.BulkOut = nullptr;

  try {
    link.device = std::make_unique<usb::UsbDevice>(nullptr, usb::kModuleInterfaceGuid, true);
  } catch (const std::bad_alloc&) {
    PrintEntry("S001");
    return kAllocationFailed;
  }
  usb::UsbDevice& device = *link.device;

  const std::uint8_t present = device.CountDevices();
  if (present != 1) {
    PrintEntry(present == 0 ? "S002" : "S003");
    if (present == 0) {
      // Devices that look like modules but are not selected, so the user learns what to pass.
      const std::vector<std::string> candidates = usb::CurrentDriver().CandidateDescriptions();
      if (!candidates.empty()) {
        PrintEntry("S019");
        for (const std::string& candidate : candidates) console::PrintWide("\n  %s", candidate.c_str());
        PrintEntry("S020");
      }
    }
    platform::ReadChar();
    return Release(present == 0 ? kNoDevice : kSeveralDevices);
  }

  device.Open(0);
  if (device.DeviceHandle == usb::kInvalidHandle) {
    const std::string problem = usb::CurrentDriver().LastOpenProblem();
    if (!problem.empty())
      console::PrintWide("\n%s %s", console::ReadMessage("F006", "S018").c_str(), problem.c_str());
    return Release(kNotOpened);
  }

  link.DeviceDescriptor = device.CopyDeviceDescriptor();
  const auto& d = link.DeviceDescriptor;
  PrintEntry("S005");
  if (device.IsHighSpeed) {
    link.TransferUnit = 2048;
    console::PrintNarrow("USB 2.0;");
  } else {
    link.TransferUnit = 64;
    console::PrintNarrow("USB 1.1;");
  }
  const std::uint32_t version = device.DriverVersionCode;
  console::PrintWide("%s %u.%u.%u.%u;", console::ReadMessage("F006", "S006").c_str(), (version >> 24) & 0xFFu,
                     (version >> 16) & 0xFFu, (version >> 8) & 0xFFu, version & 0xFFu);
  console::PrintWide("\n  VendorID=%04xh;ProductID=%04xh;", static_cast<unsigned>(d[8] | (d[9] << 8)),
                     static_cast<unsigned>(d[10] | (d[11] << 8)));
  console::PrintWide("SerialNumber=%s",
                     usb::Utf16ToUtf8(device.SerialNumber.data(), device.SerialNumber.size()).c_str());

  link.BulkIn = device.BulkInEndPoint;
  if (link.BulkIn == nullptr) {
    PrintEntry("S007");
    return Release(kNoBulkIn);
  }
  link.BulkIn->TimeoutMs = kEndPointTimeoutMs;

  link.BulkOut = device.BulkOutEndPoint;
  if (link.BulkOut == nullptr) {
    PrintEntry("S008");
    return Release(kNoBulkOut);
  }
  link.BulkOut->TimeoutMs = kEndPointTimeoutMs;
  return 0;
}

void CloseDeviceLink() {
  DeviceLinkState& link = DeviceLink();
  if (!link.device) return;
  // Drop the references first: should closing fail, the link must not point at a device that
  // is half released, and the error travels to the top of the program.
  std::unique_ptr<usb::UsbDevice> device = std::move(link.device);
  link.BulkIn = nullptr;
  link.BulkOut = nullptr;
  device->Close();
  device->Destroy();
}

}  // namespace protocol
