// The libusb backend: real modules on Linux and other systems without the vendor driver. It
// answers the driver's device-control requests over libusb-1.0: descriptor reads become control
// transfers, data requests become asynchronous bulk, interrupt or isochronous transfers whose
// completion one internal thread reports through the completion record's event.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb/driver.h"

namespace usb_libusb {

// The vendor:product pairs compiled in (CMake cache list RNGACQ_MODULE_IDS).
std::span<const usb::UsbId> BuiltInModuleIds();
// The pairs that count as modules: those selected, when there are any, else the compiled-in
// table.
std::vector<usb::UsbId> EffectiveModuleIds(std::span<const usb::UsbId> only);

// The driver version this backend reports: the libusb version packed as
// major.minor.micro.nano, one byte each, most significant first. A part too large for its byte
// (libusb's nano is a build number in the thousands) saturates at 255 rather than wrap.
std::uint32_t PackVersion(unsigned major, unsigned minor, unsigned micro, unsigned nano);

// Device paths name a device by bus, address and identifiers: "usb:BBB:AAA:vvvv:pppp".
struct DeviceAddress {
  std::uint8_t bus = 0;
  std::uint8_t address = 0;
  usb::UsbId id{0, 0};
};
std::string FormatDevicePath(const DeviceAddress& device);
std::optional<DeviceAddress> ParseDevicePath(std::string_view path);

// A backend of its own (its own libusb context); tests make one per emulated bus.
std::unique_ptr<usb::Driver> MakeLibusbDriver();

}  // namespace usb_libusb
