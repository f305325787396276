// The program's one connection to the module: found, checked to be the only one, opened,
// identified, and its bulk endpoints taken. The module object does the work; this level says
// what happened in the catalogue's words.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/module.h"

namespace devicelink {

// The link to the module; the run keeps one and hands it to what needs it.
struct DeviceLinkState {
  std::unique_ptr<core::Module> module;
  usb::access::EndPoint* BulkIn = nullptr;
  usb::access::EndPoint* BulkOut = nullptr;
  std::int32_t TransferUnit = 0;  // 2048 at high speed, 64 otherwise
  std::array<std::uint8_t, 18> DeviceDescriptor{};
  // The block of data the last successful request delivered.
  alignas(64) std::array<std::uint8_t, protocol::kBlockSize> BlockBuffer{};
};

// Opens the module `selector` picks through `provider` (which outlives the link), in generator
// mode `mode`. 0, or 46, 50, 52, 5, 89, 94 with the link left empty. May raise
// usb::UsbCloseError when a failed module cannot be released. The identification line is shown
// unless `quiet` (a module opened again).
std::int32_t OpenDeviceLink(DeviceLinkState& link, usb::access::Provider& provider,
                            const core::Selector& selector = {}, std::uint8_t mode = core::kModeRnd,
                            bool quiet = false);
// Releases the link; does nothing when it is empty. May raise usb::UsbCloseError.
void CloseDeviceLink(DeviceLinkState& link);

}  // namespace devicelink
