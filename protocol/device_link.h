// The program's one connection to the module: found, checked to be the only one, opened,
// identified, and its bulk endpoints taken.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "usb/device.h"

namespace protocol {

struct DeviceLinkState {
  std::unique_ptr<usb::UsbDevice> device;
  usb::UsbEndPoint* BulkIn = nullptr;
  usb::UsbEndPoint* BulkOut = nullptr;
  std::int32_t TransferUnit = 0;  // 2048 at high speed, 64 otherwise
  std::array<std::uint8_t, 18> DeviceDescriptor{};
};
DeviceLinkState& DeviceLink();

// 0, or 46, 50, 52, 5, 89, 94 with the link left empty.
std::int32_t OpenDeviceLink();
// Releases the link; does nothing when it is empty. May raise usb::UsbCloseError.
void CloseDeviceLink();

}  // namespace protocol
