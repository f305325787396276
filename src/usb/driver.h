// The small interface through which the USB layer reaches a USB driver. It is shaped after the
// vendor driver's device-control model: device-interface paths listed for a class GUID, a handle
// per opened device, synchronous requests, and overlapped requests that complete through a
// completion record carrying an auto-reset event. Backends: drivers/windows (the real calls),
// drivers/sim (a simulated module). usb/vendor_provider.h carries the access operations over it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb/access.h"

namespace usb {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;
using WindowHandle = void*;
using NotificationHandle = void*;

// System error codes the layer interprets.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::array<std::uint8_t, 8> data4;
  friend bool operator==(const Guid&, const Guid&) = default;
};

// The device interface class of the module's USB controller driver.
inline constexpr Guid kModuleInterfaceGuid{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

enum class WaitResult { Signalled, TimedOut, Failed };

// An auto-reset event, created not signalled. A successful wait resets it.
class Event {
 public:
  virtual ~Event() = default;
  virtual WaitResult Wait(std::uint32_t ms) = 0;
  virtual void Signal() = 0;
};

// The portable event (mutex and condition variable). `time_divisor` shortens every wait by that
// factor; tests and the simulated module use it to avoid waiting real time-outs.
std::shared_ptr<Event> MakePortableEvent(std::uint32_t time_divisor = 1);

// Backend state of one overlapped request (an OVERLAPPED on Windows, a submitted transfer
// elsewhere). It lives as long as the completion record or the driver needs it.
class PendingRequest {
 public:
  virtual ~PendingRequest() = default;
};

// The caller's completion record of one overlapped request. The caller sets `event`; the driver
// fills `pending` when it accepts the request and signals `event` when the request ends.
struct CompletionRecord {
  std::shared_ptr<Event> event;
  std::shared_ptr<PendingRequest> pending;
};

// The outcome of an overlapped request as far as it can be known without waiting.
struct OverlappedOutcome {
  bool complete = false;          // false: the driver still owns the buffers
  bool success = false;           // the request ended without error
  std::uint32_t transferred = 0;  // bytes the driver reports
  std::uint32_t error = 0;        // system error code when !success
};

// The present device interfaces of one class, as an index-addressed list.
class DeviceList {
 public:
  virtual ~DeviceList() = default;
  // 0 when member `index` exists; kErrorNoMoreItems past the end; any other code for a member
  // that could not be read.
  virtual std::uint32_t Enumerate(std::uint32_t index) = 0;
  // The device-interface path of member `index`, or nothing when its detail cannot be read.
  virtual std::optional<std::string> DevicePath(std::uint32_t index) = 0;
};

// A list of the given paths, every member readable: for backends that find their devices
// themselves rather than through the system's device-interface lists.
std::unique_ptr<DeviceList> MakePathList(std::vector<std::string> paths);

class Driver {
 public:
  virtual ~Driver() = default;

  // The present interfaces of `guid`; nullptr when no list can be obtained. With `only` empty
  // the backend lists the devices it knows as modules; otherwise only devices whose descriptor
  // carries one of these identifiers, known as modules or not.
  virtual std::unique_ptr<DeviceList> ListPresent(const Guid& guid, std::span<const UsbId> only) = 0;
  // Opens a device-interface path for overlapped use; kInvalidHandle on failure, with `failure`
  // saying why.
  virtual Handle Open(const std::string& path, OpenFailure& failure) = 0;
  virtual bool Close(Handle handle) = 0;

  // A synchronous request. `in` and `out` may be the same buffer. Sets `returned` to the bytes
  // of output the driver produced. True when the call succeeded.
  virtual bool Request(Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
                       std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) = 0;
  // An overlapped request. Returns the system error code read right after the call: 0 done at
  // once, kErrorIoPending under way (the record's event is signalled when it ends), anything
  // else refused. The driver may write into `out` until the request has ended.
  virtual std::uint32_t RequestOverlapped(Handle handle, std::uint32_t code, const std::uint8_t* in,
                                          std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                          CompletionRecord& record) = 0;
  // Collects the outcome of an overlapped request without waiting.
  virtual OverlappedOutcome Collect(Handle handle, CompletionRecord& record) = 0;

  // An auto-reset event for completion records; nullptr when none can be created.
  virtual std::shared_ptr<Event> CreateEvent() = 0;

  // Device-change notices to a window exist only with the Windows driver; elsewhere there is
  // never a registration.
  virtual NotificationHandle RegisterInterfaceNotification(WindowHandle /*window*/, const Guid& /*guid*/) {
    return nullptr;
  }
  virtual NotificationHandle RegisterHandleNotification(WindowHandle /*window*/, Handle /*handle*/) {
    return nullptr;
  }
  virtual bool UnregisterNotification(NotificationHandle /*notification*/) { return true; }

  // Waits up to `ms` for an interface to arrive; true when one did earlier. The Windows driver
  // has no notice without a window, so it only waits (the caller lists again each second).
  virtual bool AwaitArrival(std::uint32_t ms);
};

}  // namespace usb
