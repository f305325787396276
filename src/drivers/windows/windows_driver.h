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

namespace usb {

// True when a device-interface path names one of `ids` ("vid_04b4&pid_1004" in any letter
// case), or when `ids` is empty.
bool PathMatchesIds(std::string_view path, std::span<const UsbId> ids);

class WindowsDriver final : public Driver {
 public:
  // A synchronous request that the driver has not answered within `sync_timeout_ms` is cancelled
  // and fails; the driver answers its own requests long before (descriptor reads within 5 s).
  explicit WindowsDriver(std::uint32_t sync_timeout_ms = 30000) : sync_timeout_ms_(sync_timeout_ms) {}

  std::unique_ptr<DeviceList> ListPresent(const Guid& guid, std::span<const UsbId> only) override;
  Handle Open(const std::string& path, OpenFailure& failure) override;
  bool Close(Handle handle) override;
  bool Request(Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
               std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) override;
  std::uint32_t RequestOverlapped(Handle handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  CompletionRecord& record) override;
  OverlappedOutcome Collect(Handle handle, CompletionRecord& record) override;
  std::shared_ptr<Event> CreateEvent() override;
  NotificationHandle RegisterInterfaceNotification(WindowHandle window, const Guid& guid) override;
  NotificationHandle RegisterHandleNotification(WindowHandle window, Handle handle) override;
  bool UnregisterNotification(NotificationHandle notification) override;

 private:
  std::uint32_t sync_timeout_ms_;
};

}  // namespace usb
