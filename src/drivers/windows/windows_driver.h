// The vendor USB driver reached through the Windows device-installation and I/O calls: device
// interfaces listed by SetupDi, a handle per device opened for overlapped use, and the
// driver's device-control requests issued with DeviceIoControl.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "usb/driver.h"

namespace windows {

// True when a device-interface path names one of `ids` ("vid_04b4&pid_1004" in any letter
// case), or when `ids` is empty.
bool PathMatchesIds(std::string_view path, std::span<const usb::UsbId> ids);

class WindowsDriver final : public usb::Driver {
 public:
  // A synchronous request that the driver has not answered within `sync_timeout_ms` is cancelled
  // and fails; the driver answers its own requests long before (descriptor reads within 5 s).
  explicit WindowsDriver(std::uint32_t sync_timeout_ms = 30000) : sync_timeout_ms_(sync_timeout_ms) {}

  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid& guid,
                                               std::span<const usb::UsbId> only) override;
  usb::Handle Open(const std::string& path, usb::OpenFailure& failure) override;
  bool Close(usb::Handle handle) override;
  bool Request(usb::Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
               std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) override;
  std::uint32_t RequestOverlapped(usb::Handle handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  usb::CompletionRecord& record) override;
  usb::OverlappedOutcome Collect(usb::Handle handle, usb::CompletionRecord& record) override;
  std::shared_ptr<usb::Event> CreateEvent() override;
  usb::NotificationHandle RegisterInterfaceNotification(usb::WindowHandle window,
                                                        const usb::Guid& guid) override;
  usb::NotificationHandle RegisterHandleNotification(usb::WindowHandle window, usb::Handle handle) override;
  bool UnregisterNotification(usb::NotificationHandle notification) override;

 private:
  std::uint32_t sync_timeout_ms_;
};

}  // namespace windows
