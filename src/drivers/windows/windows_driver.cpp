#include "drivers/windows/windows_driver.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/windows/win32.h"
#include "text/text.h"
#include "usb/vendor_provider.h"
// After <windows.h>:
#include <dbt.h>
#include <setupapi.h>

namespace windows {

using namespace usb;  // the driver interface this backend implements

namespace {

// The records the system reads are sized by the build target; these are the sizes the shipped
// 32-bit program passes. The 64-bit build passes its own.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
static_assert(sizeof(void*) != 4 || sizeof(DEV_BROADCAST_HANDLE) == 44);

constexpr DWORD kListFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
static_assert(kListFlags == 0x12);

// A detail record larger than this is not a device path the program could use.
constexpr DWORD kDetailLimit = 64 * 1024;
// With narrowing, the walk over the system's list ends here even if it never reports its end.
constexpr DWORD kMemberLimit = 1024;
// How long a cancelled request may take to let go of its record.
constexpr DWORD kLetGoMs = 5000;

HANDLE AsHandle(Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

bool IsValid(Handle handle) {
  return handle != kInvalidHandle && handle != 0;
}

GUID ToGuid(const Guid& guid) {
  GUID result{};
  result.Data1 = guid.data1;
  result.Data2 = guid.data2;
  result.Data3 = guid.data3;
  std::copy(guid.data4.begin(), guid.data4.end(), result.Data4);
  return result;
}

// The error of a call that failed, never 0.
DWORD FailureCode() {
  const DWORD error = GetLastError();
  return error == 0 ? ERROR_GEN_FAILURE : error;
}

// Waits until the system has let go of `overlapped`; false when it has not within `ms`.
bool AwaitRelease(OVERLAPPED& overlapped, DWORD ms) {
  for (DWORD waited = 0; !HasOverlappedIoCompleted(&overlapped); waited += 10) {
    if (waited >= ms) return false;
    WaitForSingleObject(overlapped.hEvent, 10);
  }
  return true;
}

// Records of requests that a driver never gave back. They must outlive any late completion, so
// they are kept for the rest of the process instead of being freed under the driver's feet.
struct Abandoned {
  std::unique_ptr<OVERLAPPED> overlapped;
  std::shared_ptr<void> keep;
};
void Abandon(Abandoned record) {
  KeepUntilExit(std::make_shared<Abandoned>(std::move(record)));
}

// The system's text for an error code, with its number, on one line.
std::string SystemErrorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      error, 0, text, sizeof text, nullptr);
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line + " (system error " + std::to_string(error) + ")";
}

class WindowsEvent final : public Event {
 public:
  explicit WindowsEvent(HANDLE handle) : handle_(handle) {}
  ~WindowsEvent() override { CloseHandle(handle_); }
  WindowsEvent(const WindowsEvent&) = delete;
  WindowsEvent& operator=(const WindowsEvent&) = delete;

  WaitResult Wait(std::uint32_t ms) override {
    switch (WaitForSingleObject(handle_, ms)) {
      case WAIT_OBJECT_0:
        return WaitResult::Signalled;
      case WAIT_TIMEOUT:
        return WaitResult::TimedOut;
      default:
        return WaitResult::Failed;
    }
  }
  void Signal() override { SetEvent(handle_); }
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};

// One overlapped request: the OVERLAPPED the system holds while the request runs, and the
// event it signals. Destroyed early, it cancels the request and waits for the system to let go.
class WindowsPending final : public PendingRequest {
 public:
  WindowsPending(HANDLE device, std::shared_ptr<Event> event, HANDLE event_handle)
      : device_(device), event_(std::move(event)), overlapped_(std::make_unique<OVERLAPPED>()) {
    *overlapped_ = OVERLAPPED{};
    overlapped_->hEvent = event_handle;
  }
  ~WindowsPending() override {
    if (!started || HasOverlappedIoCompleted(overlapped_.get())) return;
    CancelIoEx(device_, overlapped_.get());
    if (!AwaitRelease(*overlapped_, kLetGoMs)) Abandon({std::move(overlapped_), event_});
  }
  WindowsPending(const WindowsPending&) = delete;
  WindowsPending& operator=(const WindowsPending&) = delete;

  OVERLAPPED* overlapped() { return overlapped_.get(); }
  bool started = false;    // the system accepted the request
  DWORD refused_with = 0;  // its error when it did not

 private:
  HANDLE device_;
  std::shared_ptr<Event> event_;  // keeps hEvent open while the request may still signal it
  std::unique_ptr<OVERLAPPED> overlapped_;
};

// The system's list of present interfaces of one class. With narrowing, only the members whose
// path names a selected module are shown, renumbered from 0.
class WindowsDeviceList final : public DeviceList {
 public:
  WindowsDeviceList(HDEVINFO list, const GUID& guid) : list_(list), guid_(guid) {}
  ~WindowsDeviceList() override { SetupDiDestroyDeviceInfoList(list_); }
  WindowsDeviceList(const WindowsDeviceList&) = delete;
  WindowsDeviceList& operator=(const WindowsDeviceList&) = delete;

  void Narrow(std::span<const UsbId> ids) {
    selected_.emplace();
    for (DWORD index = 0; index < kMemberLimit; ++index) {
      const DWORD result = EnumerateMember(index);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != 0) continue;
      const std::optional<std::string> path = MemberPath(index);
      if (path && PathMatchesIds(*path, ids)) selected_->push_back(index);
    }
  }

  std::uint32_t Enumerate(std::uint32_t index) override {
    if (!selected_) return EnumerateMember(index);
    return index < selected_->size() ? kErrorSuccess : kErrorNoMoreItems;
  }

  std::optional<std::string> DevicePath(std::uint32_t index) override {
    if (!selected_) return MemberPath(index);
    if (index >= selected_->size()) return std::nullopt;
    return MemberPath((*selected_)[index]);
  }

 private:
  bool Interface(DWORD index, SP_DEVICE_INTERFACE_DATA& data) {
    data = SP_DEVICE_INTERFACE_DATA{};
    data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);  // 28 on 32-bit Windows
    return SetupDiEnumDeviceInterfaces(list_, nullptr, &guid_, index, &data) != 0;
  }

  DWORD EnumerateMember(DWORD index) {
    SP_DEVICE_INTERFACE_DATA data;
    return Interface(index, data) ? 0 : FailureCode();
  }

  std::optional<std::string> MemberPath(DWORD index) {
    SP_DEVICE_INTERFACE_DATA data;
    if (!Interface(index, data)) return std::nullopt;
    // The first call only tells the size of the detail record.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(list_, &data, nullptr, 0, &required, nullptr);
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (required <= kPathOffset || required > kDetailLimit) return std::nullopt;
    // Whole DWORDs keep the record aligned as the system expects.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // 5 on 32-bit Windows, 8 on 64-bit
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(SP_DEVINFO_DATA);  // 28 on 32-bit Windows
    if (!SetupDiGetDeviceInterfaceDetailA(list_, &data, detail, required, nullptr, &info))
      return std::nullopt;
    // The path ends at its terminator, and never past the record the system said it filled.
    const char* path = detail->DevicePath;
    const std::size_t room = required - kPathOffset;
    return std::string(path, static_cast<std::size_t>(std::find(path, path + room, '\0') - path));
  }

  HDEVINFO list_;
  GUID guid_;
  std::optional<std::vector<DWORD>> selected_;
};

// The private record of one synchronous request. The request's data travel in `buffer`, not in
// the caller's memory, so that a request the driver never finishes cannot write into memory the
// caller has since reused.
struct SyncCall {
  SyncCall()
      : overlapped(std::make_unique<OVERLAPPED>()), event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    *overlapped = OVERLAPPED{};
    overlapped->hEvent = event;
  }
  ~SyncCall() {
    if (event != nullptr) CloseHandle(event);
  }
  SyncCall(const SyncCall&) = delete;
  SyncCall& operator=(const SyncCall&) = delete;

  std::unique_ptr<OVERLAPPED> overlapped;
  HANDLE event;
  std::vector<std::uint8_t> buffer;
};

}  // namespace

bool PathMatchesIds(std::string_view path, std::span<const UsbId> ids) {
  if (ids.empty()) return true;
  for (const UsbId& id : ids) {
    char pattern[24];
    const int length = std::snprintf(pattern, sizeof pattern, "vid_%04x&pid_%04x",
                                     static_cast<unsigned>(id.vendor), static_cast<unsigned>(id.product));
    const std::string_view wanted(pattern, static_cast<std::size_t>(length));
    for (std::size_t at = 0; at + wanted.size() <= path.size(); ++at)
      if (text::EqualsIgnoringCase(path.substr(at, wanted.size()), wanted)) return true;
  }
  return false;
}

std::unique_ptr<DeviceList> WindowsDriver::ListPresent(const Guid& guid, std::span<const UsbId> only) {
  const GUID class_guid = ToGuid(guid);
  const HDEVINFO list = SetupDiGetClassDevsA(&class_guid, nullptr, nullptr, kListFlags);
  if (list == INVALID_HANDLE_VALUE) return nullptr;
  auto devices = std::make_unique<WindowsDeviceList>(list, class_guid);
  if (!only.empty()) devices->Narrow(only);
  return devices;
}

Handle WindowsDriver::Open(const std::string& path, OpenFailure& failure) {
  if (path.empty() || path.find('\0') != std::string::npos) return kInvalidHandle;
  const HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    failure.access_denied = error == ERROR_ACCESS_DENIED;
    failure.reason = SystemErrorText(error);
    return kInvalidHandle;
  }
  return reinterpret_cast<Handle>(device);
}

bool WindowsDriver::Close(Handle handle) {
  return IsValid(handle) && CloseHandle(AsHandle(handle)) != 0;
}

// The device is open for overlapped use, so even a synchronous request carries an OVERLAPPED
// and is waited for here: without one, a driver that answers later would leave the call
// returning before the answer is in place.
bool WindowsDriver::Request(Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
                            std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) {
  returned = 0;
  if (!IsValid(handle) || (in_size > 0 && in == nullptr) || (out_size > 0 && out == nullptr)) return false;
  auto call = std::make_unique<SyncCall>();
  if (call->event == nullptr) return false;
  call->buffer.assign(std::max(in_size, out_size), 0);
  if (in_size > 0) std::memcpy(call->buffer.data(), in, in_size);
  std::uint8_t* data = call->buffer.empty() ? nullptr : call->buffer.data();
  const HANDLE device = AsHandle(handle);

  DWORD count = 0;
  if (!DeviceIoControl(device, code, in_size > 0 ? data : nullptr, in_size, out_size > 0 ? data : nullptr,
                       out_size, &count, call->overlapped.get())) {
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(call->event, sync_timeout_ms_) != WAIT_OBJECT_0) {
      CancelIoEx(device, call->overlapped.get());
      if (!AwaitRelease(*call->overlapped, kLetGoMs)) {
        auto keep = std::shared_ptr<SyncCall>(std::move(call));
        Abandon({std::move(keep->overlapped), keep});
        return false;
      }
    }
  }
  const bool ok = GetOverlappedResult(device, call->overlapped.get(), &count, FALSE) != 0;
  if (!ok) return false;
  count = std::min<DWORD>(count, out_size);
  if (count > 0) std::memcpy(out, data, count);
  returned = count;
  return true;
}

std::uint32_t WindowsDriver::RequestOverlapped(Handle handle, std::uint32_t code, const std::uint8_t* in,
                                               std::uint32_t in_size, std::uint8_t* out,
                                               std::uint32_t out_size, CompletionRecord& record) {
  // An earlier request on this record lets go of the event before the new one may signal it.
  record.pending.reset();
  auto* event = dynamic_cast<WindowsEvent*>(record.event.get());
  if (event == nullptr) return ERROR_INVALID_PARAMETER;  // only our own events can be signalled
  if (!IsValid(handle)) return ERROR_INVALID_HANDLE;
  auto pending = std::make_shared<WindowsPending>(AsHandle(handle), record.event, event->handle());
  // METHOD_NEITHER requests hand the input to the driver as it stands; it is the caller's
  // request header, which the driver may update, hence the cast.
  const BOOL done = DeviceIoControl(AsHandle(handle), code, const_cast<std::uint8_t*>(in), in_size, out,
                                    out_size, nullptr, pending->overlapped());
  // A request finished at once reports 0: the thread's last error would still hold some
  // earlier, unrelated code.
  const DWORD error = done ? 0 : FailureCode();
  pending->started = done || error == ERROR_IO_PENDING;
  if (!pending->started) pending->refused_with = error;
  record.pending = std::move(pending);
  return error;
}

OverlappedOutcome WindowsDriver::Collect(Handle handle, CompletionRecord& record) {
  auto* pending = dynamic_cast<WindowsPending*>(record.pending.get());
  if (pending == nullptr) return {true, false, 0, ERROR_INVALID_PARAMETER};
  if (!pending->started) return {true, false, 0, pending->refused_with};
  DWORD count = 0;
  if (GetOverlappedResult(AsHandle(handle), pending->overlapped(), &count, FALSE))
    return {true, true, count, 0};
  const DWORD error = FailureCode();
  if (error == ERROR_IO_INCOMPLETE) return {false, false, 0, error};
  return {true, false, count, error};
}

std::shared_ptr<Event> WindowsDriver::CreateEvent() {
  // Unnamed: a named event would be shared with every other process that opens the name.
  const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset, not signalled
  if (event == nullptr) return nullptr;
  return std::make_shared<WindowsEvent>(event);
}

NotificationHandle WindowsDriver::RegisterInterfaceNotification(WindowHandle window, const Guid& guid) {
  if (window == nullptr) return nullptr;
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A);  // 32
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;         // 5
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = ToGuid(guid);
  filter.dbcc_name[0] = '\0';
  return RegisterDeviceNotificationA(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

NotificationHandle WindowsDriver::RegisterHandleNotification(WindowHandle window, Handle handle) {
  if (window == nullptr || !IsValid(handle)) return nullptr;
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof(DEV_BROADCAST_HANDLE);  // 44 on 32-bit Windows
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;       // 6
  filter.dbch_reserved = 0;
  filter.dbch_handle = AsHandle(handle);
  return RegisterDeviceNotificationA(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool WindowsDriver::UnregisterNotification(NotificationHandle notification) {
  return notification == nullptr || UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(notification)) != 0;
}

}  // namespace windows

std::unique_ptr<usb::access::Provider> usb::access::MakeDefaultProvider() {
  return std::make_unique<VendorDriverProvider>(std::make_unique<windows::WindowsDriver>());
}
