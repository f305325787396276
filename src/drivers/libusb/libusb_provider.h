// The libusb provider: real modules on Linux and other systems without the vendor driver.
// Modules are found by the ID table (or /DEVICE=), their strings and speed come from libusb, the
// interface is claimed, and each bulk endpoint submits one transfer, allocated at open, straight
// into the caller's buffer; the thread that waits for a transfer handles libusb's events.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "usb/access.h"

namespace libusb {

// A provider of its own (its own libusb context); tests make one per emulated bus.
std::unique_ptr<usb::access::Provider> MakeLibusbProvider();

// A provider of one device that is already open: a usbfs descriptor handed over by the system or
// a caller (libusb_wrap_sys_device), for systems where the program may not list devices itself;
// the benchmark's stand-in bus comes this way too. The descriptor stays the caller's.
std::unique_ptr<usb::access::Provider> MakeSystemDeviceProvider(std::intptr_t system_device);

}  // namespace libusb
