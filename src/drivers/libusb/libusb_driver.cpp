#include "drivers/libusb/libusb_driver.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "usb/transfer_request.h"
#include "usb/vendor_provider.h"

namespace usb_libusb {
namespace {

#include "module_ids.inc"  // kModuleIdTable, generated from RNGACQ_MODULE_IDS

// System error codes this backend reports besides those usb/driver.h names.
constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorMoreData = 234;

constexpr std::uint32_t kHeader = static_cast<std::uint32_t>(usb::kTransferRequestSize);
// No request of this program carries more; a header asking for more is refused, not allocated.
constexpr std::uint32_t kMaxDataBytes = 1u << 24;
// A control transfer never waits without end, even when its header asks for no time-out.
constexpr unsigned kDefaultControlTimeoutMs = 5000;
// A control transfer waited for ends at libusb's time-out; this covers a late event thread.
constexpr unsigned kControlGraceMs = 1000;
// How long closing waits for cancelled transfers to come back from libusb.
constexpr auto kDrainTime = std::chrono::seconds(5);
constexpr std::size_t kMaxCandidates = 16;
constexpr std::size_t kMaxStringChars = 64;
constexpr std::uint8_t kVendorSpecificClass = 0xFF;

std::uint32_t ErrorFromLibusb(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return usb::kErrorSuccess;
    case LIBUSB_ERROR_NO_DEVICE:
      return usb::kErrorDeviceNotConnected;
    case LIBUSB_ERROR_ACCESS:
      return usb::kErrorAccessDenied;
    case LIBUSB_ERROR_BUSY:
      return kErrorBusy;
    case LIBUSB_ERROR_TIMEOUT:
      return kErrorSemTimeout;
    case LIBUSB_ERROR_OVERFLOW:
      return kErrorMoreData;
    case LIBUSB_ERROR_NO_MEM:
      return kErrorNotEnoughMemory;
    case LIBUSB_ERROR_INVALID_PARAM:
      return kErrorInvalidParameter;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return kErrorNotSupported;
    default:
      return usb::kErrorGenFailure;
  }
}

std::uint32_t ErrorFromStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return usb::kErrorSuccess;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return kErrorSemTimeout;
    case LIBUSB_TRANSFER_CANCELLED:
      return usb::kErrorOperationAborted;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return usb::kErrorDeviceNotConnected;
    case LIBUSB_TRANSFER_OVERFLOW:
      return kErrorMoreData;
    default:  // stall, error
      return usb::kErrorGenFailure;
  }
}

bool SameId(const usb::UsbId& a, const usb::UsbId& b) {
  return a.vendor == b.vendor && a.product == b.product;
}

std::string HexId(const usb::UsbId& id) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%04x:%04x", static_cast<unsigned>(id.vendor),
                static_cast<unsigned>(id.product));
  return text.data();
}

std::string DeviceNode(const DeviceAddress& device) {
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(device.bus),
                static_cast<unsigned>(device.address));
  return text.data();
}

struct DeviceListDeleter {
  void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceListPtr = std::unique_ptr<libusb_device*, DeviceListDeleter>;

struct ConfigDeleter {
  void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

struct HandleDeleter {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using HandlePtr = std::unique_ptr<libusb_device_handle, HandleDeleter>;

struct TransferDeleter {
  void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

// The devices libusb sees, as a span; empty when none can be listed.
struct DeviceSnapshot {
  DeviceListPtr list;
  std::span<libusb_device*> devices;
};
DeviceSnapshot ListDevices(libusb_context* context) {
  DeviceSnapshot snapshot;
  if (context == nullptr) return snapshot;
  libusb_device** raw = nullptr;
  const ssize_t count = libusb_get_device_list(context, &raw);
  if (count < 0 || raw == nullptr) return snapshot;
  snapshot.list.reset(raw);
  snapshot.devices = std::span<libusb_device*>(raw, static_cast<std::size_t>(count));
  return snapshot;
}

std::optional<DeviceAddress> AddressOf(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return std::nullopt;
  return DeviceAddress{libusb_get_bus_number(device), libusb_get_device_address(device),
                       usb::UsbId{descriptor.idVendor, descriptor.idProduct}};
}

ConfigPtr ConfigOf(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS || config == nullptr) {
    config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return nullptr;
  }
  return ConfigPtr(config);
}

// A vendor-specific interface with a bulk IN and a bulk OUT endpoint: the shape of a module.
bool LooksLikeModule(const libusb_config_descriptor& config) {
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != kVendorSpecificClass) continue;
      bool bulk_in = false;
      bool bulk_out = false;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        ((endpoint.bEndpointAddress & 0x80) != 0 ? bulk_in : bulk_out) = true;
      }
      if (bulk_in && bulk_out) return true;
    }
  }
  return false;
}

struct OpenDevice {
  HandlePtr handle;
  DeviceAddress address;
  std::vector<int> claimed;
  std::map<std::uint8_t, std::uint8_t> endpoint_types;  // bEndpointAddress -> transfer type
  int first_interface = 0;
  bool high_speed = false;

  ~OpenDevice() {
    // Releasing hands the interfaces back to their kernel drivers (auto-detach reattaches).
    for (int number : claimed) libusb_release_interface(handle.get(), number);
  }
};

class Core;

// One overlapped request handed to libusb. libusb reads from and writes into `data`, which this
// object owns; the caller's buffer is touched only at submission and when the outcome is
// collected, so a caller that gives a transfer up can never have its memory written later. The
// object outlives the libusb transfer: the core holds it until libusb has called back.
class Transfer final : public usb::PendingRequest {
 public:
  Transfer(Core& owner, usb::Handle device) : core(owner), handle(device) {}

  Core& core;
  const usb::Handle handle;
  TransferPtr raw;
  std::uint8_t endpoint = 0;
  std::vector<std::uint8_t> data;
  std::size_t data_start = 0;  // control transfers: the setup packet comes first
  std::shared_ptr<usb::Event> event;
  std::uint8_t* out = nullptr;        // the caller's output buffer
  std::uint32_t out_data_offset = 0;  // where the data go in it
  bool out_has_header = false;        // buffered and control requests return the header too
  bool direction_in = false;
  std::uint32_t packet_table_offset = 0;

  // Set when libusb has called back; guarded by the core's mutex.
  bool complete = false;
  bool collected = false;
  libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
  std::uint32_t actual = 0;
  std::uint32_t error = 0;
  std::vector<std::uint8_t> packet_records;
};

// What the completion callback and the caller's thread share.
class Core {
 public:
  std::mutex mutex;
  std::condition_variable drained;
  std::map<const Transfer*, std::shared_ptr<Transfer>> in_flight;
  // Devices closed while libusb still held transfers of theirs: their handles must outlive them.
  std::vector<std::unique_ptr<OpenDevice>> stuck;

  bool AnyInFlight(usb::Handle handle) {
    for (const auto& [key, transfer] : in_flight)
      if (transfer->handle == handle) return true;
    return false;
  }
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* raw) {
  auto* transfer = static_cast<Transfer*>(raw->user_data);
  Core& core = transfer->core;
  std::shared_ptr<Transfer> keep;  // released after the lock, possibly freeing the transfer
  std::shared_ptr<usb::Event> event;
  {
    std::lock_guard lock(core.mutex);
    transfer->status = raw->status;
    if (raw->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
      // The packets' data lie at fixed strides; hand them back end to end, and one record of
      // (actual length, status) per packet.
      std::size_t write = transfer->data_start;
      std::size_t read = transfer->data_start;
      transfer->packet_records.assign(static_cast<std::size_t>(raw->num_iso_packets) * 8, 0);
      for (int i = 0; i < raw->num_iso_packets; ++i) {
        const libusb_iso_packet_descriptor& packet = raw->iso_packet_desc[i];
        const std::size_t n = std::min<std::size_t>(packet.actual_length, packet.length);
        if (read + n <= transfer->data.size())
          std::memmove(transfer->data.data() + write, transfer->data.data() + read, n);
        write += n;
        read += packet.length;
        std::uint8_t* record = transfer->packet_records.data() + static_cast<std::size_t>(i) * 8;
        usb::WriteLe32(record, packet.actual_length);
        usb::WriteLe32(record + 4, static_cast<std::uint32_t>(packet.status));
      }
      transfer->actual = static_cast<std::uint32_t>(write - transfer->data_start);
    } else {
      transfer->actual = raw->actual_length > 0 ? static_cast<std::uint32_t>(raw->actual_length) : 0;
    }
    transfer->error = ErrorFromStatus(raw->status);
    transfer->complete = true;
    event = transfer->event;
    const auto it = core.in_flight.find(transfer);
    if (it != core.in_flight.end()) {
      keep = std::move(it->second);
      core.in_flight.erase(it);
    }
  }
  core.drained.notify_all();
  if (event) event->Signal();
}

class LibusbDriver final : public usb::Driver {
 public:
  LibusbDriver() : core_(std::make_shared<Core>()) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS) context_ = context;
  }

  ~LibusbDriver() override {
    while (!devices_.empty()) Close(devices_.begin()->first);
    if (!WaitDrained([](Core& core) { return core.in_flight.empty(); })) {
      // libusb still owns transfers that would not end: keep their memory and the context for
      // the rest of the process rather than free them under libusb.
      StopEvents();
      usb::KeepUntilExit(core_);
      return;
    }
    StopEvents();
    if (context_ != nullptr) libusb_exit(context_);
  }

  LibusbDriver(const LibusbDriver&) = delete;
  LibusbDriver& operator=(const LibusbDriver&) = delete;

  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid& guid,
                                               std::span<const usb::UsbId> only) override {
    if (context_ == nullptr) return nullptr;
    if (!(guid == usb::kModuleInterfaceGuid)) return usb::MakePathList({});
    DeviceSnapshot snapshot = ListDevices(context_);
    if (!snapshot.list) return nullptr;
    const std::vector<usb::UsbId> ids = EffectiveModuleIds(only);
    std::vector<DeviceAddress> found;
    for (libusb_device* device : snapshot.devices) {
      const std::optional<DeviceAddress> address = AddressOf(device);
      if (!address) continue;
      if (std::any_of(ids.begin(), ids.end(), [&](const usb::UsbId& id) { return SameId(id, address->id); }))
        found.push_back(*address);
    }
    std::sort(found.begin(), found.end(), [](const DeviceAddress& a, const DeviceAddress& b) {
      return std::pair(a.bus, a.address) < std::pair(b.bus, b.address);
    });
    std::vector<std::string> paths;
    for (const DeviceAddress& address : found) paths.push_back(FormatDevicePath(address));
    return usb::MakePathList(std::move(paths));
  }

  usb::Handle Open(const std::string& path, usb::OpenFailure& failure) override {
    const std::optional<DeviceAddress> wanted = ParseDevicePath(path);
    if (context_ == nullptr || !wanted) return usb::kInvalidHandle;
    DeviceSnapshot snapshot = ListDevices(context_);
    libusb_device* device = nullptr;
    for (libusb_device* candidate : snapshot.devices) {
      const std::optional<DeviceAddress> address = AddressOf(candidate);
      // The identifiers must match too: an address may have been reused by another device.
      if (address && address->bus == wanted->bus && address->address == wanted->address &&
          SameId(address->id, wanted->id))
        device = candidate;
    }
    if (device == nullptr) {
      failure.reason = "the device at " + DeviceNode(*wanted) + " is gone";
      return usb::kInvalidHandle;
    }

    libusb_device_handle* raw_handle = nullptr;
    const int opened = libusb_open(device, &raw_handle);
    if (opened != LIBUSB_SUCCESS) {
      NoteOpenProblem(opened, *wanted, failure);
      return usb::kInvalidHandle;
    }
    auto open = std::make_unique<OpenDevice>();
    open->handle.reset(raw_handle);
    open->address = *wanted;
    libusb_set_auto_detach_kernel_driver(raw_handle, 1);  // not supported everywhere; then ignored

    if (ConfigPtr config = ConfigOf(device)) {
      for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
          const libusb_interface_descriptor& setting = interface.altsetting[a];
          if (i == 0 && a == 0) open->first_interface = setting.bInterfaceNumber;
          for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            open->endpoint_types.emplace(endpoint.bEndpointAddress,
                                         static_cast<std::uint8_t>(endpoint.bmAttributes & 3));
          }
        }
        if (interface.num_altsetting <= 0) continue;
        const int number = interface.altsetting[0].bInterfaceNumber;
        if (std::find(open->claimed.begin(), open->claimed.end(), number) != open->claimed.end()) continue;
        const int claimed = libusb_claim_interface(raw_handle, number);
        if (claimed != LIBUSB_SUCCESS) {
          NoteOpenProblem(claimed, *wanted, failure);
          return usb::kInvalidHandle;  // `open` releases what was claimed and closes
        }
        open->claimed.push_back(number);
      }
    }
    open->high_speed = libusb_get_device_speed(device) >= LIBUSB_SPEED_HIGH;

    const std::lock_guard table(table_mutex_);
    const usb::Handle handle = next_handle_++;
    devices_.emplace(handle, std::move(open));
    StartEvents();
    return handle;
  }

  bool Close(usb::Handle handle) override {
    const std::lock_guard table(table_mutex_);
    const auto it = devices_.find(handle);
    if (it == devices_.end()) return false;
    CancelWhere([&](const Transfer& transfer) { return transfer.handle == handle; });
    if (!WaitDrained([&](Core& core) { return !core.AnyInFlight(handle); })) {
      // Transfers libusb would not end: the device handle must outlive them.
      std::unique_ptr<OpenDevice> device = std::move(it->second);
      devices_.erase(it);
      std::lock_guard lock(core_->mutex);
      core_->stuck.push_back(std::move(device));
      return true;
    }
    devices_.erase(it);
    if (devices_.empty() && Drained()) StopEvents();
    return true;
  }

  bool Request(usb::Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
               std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) override {
    returned = 0;
    OpenDevice* device = Find(handle);
    if (device == nullptr) return false;
    if (out_size > 0 && out == nullptr) return false;
    switch (code) {
      case usb::kRequestDriverVersion: {
        if (out_size != 4) return false;
        const libusb_version* version = libusb_get_version();
        usb::WriteLe32(out, PackVersion(version->major, version->minor, version->micro, version->nano));
        returned = 4;
        return true;
      }
      case usb::kRequestBusSpeed:
        if (out_size != 4) return false;
        usb::WriteLe32(out, device->high_speed ? 2u : 1u);
        returned = 4;
        return true;
      case usb::kRequestAltSetting:
        if (out_size != 1) return false;
        out[0] = CurrentAltSetting(handle, *device);
        returned = 1;
        return true;
      case usb::kRequestInfoByte:
      case usb::kRequestInfoWord:
      case usb::kRequestInfoBlock1:
      case usb::kRequestInfoBlock2:
        // Facts only the vendor driver has; any answer of the right size serves.
        if (out_size > 0) std::memset(out, 0, out_size);
        returned = out_size;
        return true;
      case usb::kRequestAbortPipe:
        if (in == nullptr || in_size < 1) return false;
        CancelWhere([&](const Transfer& transfer) {
          return transfer.handle == handle && transfer.endpoint == in[0];
        });
        return true;
      case usb::kRequestControlTransfer:
        return ControlTransfer(handle, *device, in, in_size, out, out_size, returned);
      default:
        return false;
    }
  }

  std::uint32_t RequestOverlapped(usb::Handle handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  usb::CompletionRecord& record) override {
    record.pending.reset();
    if (!record.event) return kErrorInvalidParameter;
    OpenDevice* device = Find(handle);
    if (device == nullptr) return kErrorInvalidHandle;
    if (in == nullptr || in_size < kHeader || (out_size > 0 && out == nullptr)) return kErrorInvalidParameter;
    const usb::TransferRequest header =
        usb::DecodeTransferRequest(std::span<const std::uint8_t>(in, in_size));

    auto transfer = std::make_shared<Transfer>(*core_, handle);
    transfer->event = record.event;
    transfer->out = out;
    std::uint32_t error = kErrorInvalidFunction;
    switch (code) {
      case usb::kRequestControlTransfer:
        error = PrepareControl(*device, *transfer, header, in, in_size, out_size);
        break;
      case usb::kRequestBufferedTransfer:
        error = PrepareData(*device, *transfer, header, in, in_size, out_size, true);
        break;
      case usb::kRequestDirectTransfer:
        error = PrepareData(*device, *transfer, header, out, in_size, out_size, false);
        break;
      default:
        break;
    }
    if (error == usb::kErrorSuccess) error = Submit(transfer);
    if (error != usb::kErrorSuccess) {
      // A refused request still has an outcome to collect: nothing transferred.
      transfer->complete = true;
      transfer->error = error;
      transfer->status = LIBUSB_TRANSFER_ERROR;
    }
    record.pending = transfer;
    return error == usb::kErrorSuccess ? usb::kErrorIoPending : error;
  }

  usb::OverlappedOutcome Collect(usb::Handle /*handle*/, usb::CompletionRecord& record) override {
    auto* transfer = dynamic_cast<Transfer*>(record.pending.get());
    if (transfer == nullptr) return {true, false, 0, kErrorInvalidParameter};
    std::lock_guard lock(core_->mutex);
    if (!transfer->complete) return {false, false, 0, usb::kErrorIoIncomplete};
    const bool success =
        transfer->status == LIBUSB_TRANSFER_COMPLETED && transfer->error == usb::kErrorSuccess;
    if (!transfer->collected) {
      transfer->collected = true;
      if (transfer->out != nullptr) {
        if (transfer->direction_in && transfer->actual > 0)
          std::memcpy(transfer->out + transfer->out_data_offset, transfer->data.data() + transfer->data_start,
                      transfer->actual);
        if (transfer->out_has_header) {
          // The status words of the answer header: 0 on success, the error code otherwise.
          usb::WriteLe32(transfer->out + 14, 0);
          usb::WriteLe32(transfer->out + 18, success ? 0 : transfer->error);
          if (!transfer->packet_records.empty())
            std::memcpy(transfer->out + transfer->packet_table_offset, transfer->packet_records.data(),
                        transfer->packet_records.size());
        }
      }
    }
    // A request that moved no data reports nothing, as a failed device request does.
    const std::uint32_t transferred =
        success || transfer->actual > 0 ? transfer->out_data_offset + transfer->actual : 0;
    return {true, success, transferred, success ? usb::kErrorSuccess : transfer->error};
  }

  std::shared_ptr<usb::Event> CreateEvent() override { return usb::MakePortableEvent(); }

  std::vector<std::string> CandidateDescriptions(std::span<const usb::UsbId> only) override {
    // The strings are read through the event thread, which runs for the listing.
    const std::lock_guard table(table_mutex_);
    StartEvents();
    std::vector<std::string> lines = DescribeCandidates(only);
    if (devices_.empty() && Drained()) StopEvents();
    return lines;
  }

 private:
  std::vector<std::string> DescribeCandidates(std::span<const usb::UsbId> only) {
    DeviceSnapshot snapshot = ListDevices(context_);
    const std::vector<usb::UsbId> ids = EffectiveModuleIds(only);
    std::vector<std::pair<DeviceAddress, libusb_device*>> found;
    for (libusb_device* device : snapshot.devices) {
      const std::optional<DeviceAddress> address = AddressOf(device);
      if (!address) continue;
      if (std::any_of(ids.begin(), ids.end(), [&](const usb::UsbId& id) { return SameId(id, address->id); }))
        continue;
      const ConfigPtr config = ConfigOf(device);
      if (config && LooksLikeModule(*config)) found.emplace_back(*address, device);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return std::pair(a.first.bus, a.first.address) < std::pair(b.first.bus, b.first.address);
    });
    if (found.size() > kMaxCandidates) found.resize(kMaxCandidates);

    std::vector<std::string> lines;
    for (const auto& [address, device] : found) {
      std::string line = HexId(address.id);
      libusb_device_descriptor descriptor{};
      libusb_get_device_descriptor(device, &descriptor);
      libusb_device_handle* raw_handle = nullptr;
      const int opened = libusb_open(device, &raw_handle);
      if (opened == LIBUSB_SUCCESS) {
        const HandlePtr handle(raw_handle);
        const std::string product = ReadPrintableString(handle.get(), descriptor.iProduct);
        const std::string serial = ReadPrintableString(handle.get(), descriptor.iSerialNumber);
        if (!product.empty()) line += " \"" + product + "\"";
        if (!serial.empty()) line += " serial \"" + serial + "\"";
      } else if (opened == LIBUSB_ERROR_ACCESS) {
        line += " (no permission to read its product and serial: " + DeviceNode(address) + ")";
      }
      lines.push_back(std::move(line));
    }
    return lines;
  }

  OpenDevice* Find(usb::Handle handle) {
    const std::lock_guard table(table_mutex_);
    const auto it = devices_.find(handle);
    return it == devices_.end() ? nullptr : it->second.get();
  }

  // Access to the device node is the cause of a failed open the user can remedy; the others
  // are named as libusb names them.
  static void NoteOpenProblem(int code, const DeviceAddress& device, usb::OpenFailure& failure) {
    if (code != LIBUSB_ERROR_ACCESS) {
      failure.reason = DeviceNode(device) + ": " + libusb_strerror(code);
      return;
    }
    failure.access_denied = true;
    failure.reason = DeviceNode(device) + " (USB ID " + HexId(device.id) +
                     "); the udev rule 60-rngacq.rules must list this ID, then replug the module.";
  }

  // The claimed interface's current alternate setting, asked of the device (GET_INTERFACE);
  // 0 when the device will not say, which is what an interface claimed afresh runs.
  std::uint8_t CurrentAltSetting(usb::Handle handle, OpenDevice& device) {
    std::uint8_t setting = 0;
    const ControlOutcome got = WaitedControl(
        handle, device.handle.get(),
        {0x81, LIBUSB_REQUEST_GET_INTERFACE, 0, static_cast<std::uint16_t>(device.first_interface)},
        std::span(&setting, 1), kDefaultControlTimeoutMs);
    return got.done && got.actual == 1 ? setting : 0;
  }

  // A device string as printable ASCII of bounded length; empty when it cannot be read. The
  // first language the device offers is asked for, then the string in it.
  std::string ReadPrintableString(libusb_device_handle* handle, std::uint8_t index) {
    if (index == 0) return {};
    std::array<std::uint8_t, 255> raw{};
    constexpr std::uint16_t kString = LIBUSB_DT_STRING << 8;
    ControlOutcome got =
        WaitedControl(usb::kInvalidHandle, handle, {0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, kString, 0},
                      std::span(raw.data(), 4), kDefaultControlTimeoutMs);
    if (!got.done || got.actual < 4 || raw[1] != LIBUSB_DT_STRING) return {};
    const auto language = static_cast<std::uint16_t>(raw[2] | raw[3] << 8);
    got = WaitedControl(
        usb::kInvalidHandle, handle,
        {0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, static_cast<std::uint16_t>(kString | index), language}, raw,
        kDefaultControlTimeoutMs);
    if (!got.done || got.actual < 2 || raw[1] != LIBUSB_DT_STRING || raw[0] > got.actual) return {};
    std::string text;
    for (std::size_t i = 2; i + 1 < raw[0] && text.size() < kMaxStringChars; i += 2) {
      const auto unit = static_cast<unsigned>(raw[i] | raw[i + 1] << 8);
      text.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
    }
    return text;
  }

  struct ControlSetup {
    std::uint8_t type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
  };
  struct ControlOutcome {
    bool done = false;  // completed; what the device sent is in the caller's span
    std::uint32_t actual = 0;
    std::uint32_t error = 0;  // the system's code when not done
  };

  // One control transfer, waited for. It completes on the event thread like every other
  // transfer: libusb's synchronous calls are not safe while another thread handles events (in
  // libusb 1.0.26 their callback still reads the transfer after waking the waiter, who frees it).
  ControlOutcome WaitedControl(usb::Handle owner, libusb_device_handle* handle, const ControlSetup& setup,
                               std::span<std::uint8_t> data, unsigned timeout_ms) {
    auto transfer = std::make_shared<Transfer>(*core_, owner);
    if (!FillControl(*transfer, handle, setup, data, timeout_ms)) return {false, 0, kErrorNotEnoughMemory};
    transfer->event = usb::MakePortableEvent();
    const std::uint32_t submitted = Submit(transfer);
    if (submitted != usb::kErrorSuccess) return {false, 0, submitted};
    if (transfer->event->Wait(timeout_ms + kControlGraceMs) != usb::WaitResult::Signalled) {
      // The transfer keeps its own buffer until libusb lets it go; the caller's is not touched.
      libusb_cancel_transfer(transfer->raw.get());
      return {false, 0, kErrorSemTimeout};
    }
    const std::lock_guard lock(core_->mutex);
    if (transfer->direction_in)
      std::memcpy(data.data(), transfer->data.data() + LIBUSB_CONTROL_SETUP_SIZE,
                  std::min<std::size_t>(transfer->actual, data.size()));
    return {transfer->status == LIBUSB_TRANSFER_COMPLETED, transfer->actual, transfer->error};
  }

  // Allocates and fills one control transfer; what goes out is copied from `data`, what comes in
  // lands in the transfer's own buffer after the setup packet.
  static bool FillControl(Transfer& transfer, libusb_device_handle* handle, const ControlSetup& setup,
                          std::span<const std::uint8_t> data, unsigned timeout_ms) {
    transfer.raw.reset(libusb_alloc_transfer(0));
    if (!transfer.raw) return false;
    transfer.data.assign(LIBUSB_CONTROL_SETUP_SIZE + data.size(), 0);
    transfer.data_start = LIBUSB_CONTROL_SETUP_SIZE;
    transfer.direction_in = (setup.type & 0x80) != 0;
    libusb_fill_control_setup(transfer.data.data(), setup.type, setup.request, setup.value, setup.index,
                              static_cast<std::uint16_t>(data.size()));
    if (!transfer.direction_in && !data.empty())
      std::memcpy(transfer.data.data() + LIBUSB_CONTROL_SETUP_SIZE, data.data(), data.size());
    libusb_fill_control_transfer(transfer.raw.get(), handle, transfer.data.data(), OnTransferDone, &transfer,
                                 timeout_ms);
    return true;
  }

  static unsigned ControlTimeoutMs(const usb::TransferRequest& header) {
    if (header.TimeoutSeconds == 0) return kDefaultControlTimeoutMs;
    return std::min<std::uint32_t>(header.TimeoutSeconds, 3600) * 1000u;
  }

  bool ControlTransfer(usb::Handle handle, OpenDevice& device, const std::uint8_t* in, std::uint32_t in_size,
                       std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) {
    if (in == nullptr || out == nullptr || in_size < kHeader || out_size != in_size) return false;
    const usb::TransferRequest header =
        usb::DecodeTransferRequest(std::span<const std::uint8_t>(in, in_size));
    if (header.DataOffset != kHeader || header.DataLength != header.wLength ||
        std::uint64_t{kHeader} + header.wLength > out_size)
      return false;
    if (in != out) std::memmove(out, in, in_size);
    const ControlOutcome got = WaitedControl(
        handle, device.handle.get(), {header.bmRequestType, header.bRequest, header.wValue, header.wIndex},
        std::span(out + kHeader, header.wLength), ControlTimeoutMs(header));
    usb::WriteLe32(out + 14, 0);
    usb::WriteLe32(out + 18, got.done ? 0 : got.error);
    if (!got.done) return false;
    returned = kHeader + got.actual;
    return true;
  }

  std::uint32_t PrepareControl(OpenDevice& device, Transfer& transfer, const usb::TransferRequest& header,
                               const std::uint8_t* in, std::uint32_t in_size, std::uint32_t out_size) {
    if (header.DataOffset != kHeader || header.DataLength != header.wLength ||
        std::uint64_t{kHeader} + header.wLength > std::min(in_size, out_size))
      return kErrorInvalidParameter;
    transfer.out_data_offset = kHeader;
    transfer.out_has_header = true;
    if (!FillControl(transfer, device.handle.get(),
                     {header.bmRequestType, header.bRequest, header.wValue, header.wIndex},
                     std::span(in + kHeader, header.wLength), ControlTimeoutMs(header)))
      return kErrorNotEnoughMemory;
    return usb::kErrorSuccess;
  }

  // A data transfer on one pipe. Buffered: the data sit in the request at DataOffset and come
  // back there. Direct: `data` is the caller's buffer of `out_size` bytes.
  static std::uint32_t PrepareData(OpenDevice& device, Transfer& transfer, const usb::TransferRequest& header,
                                   const std::uint8_t* data, std::uint32_t in_size, std::uint32_t out_size,
                                   bool buffered) {
    std::uint32_t length = 0;
    if (buffered) {
      if (header.DataOffset < kHeader ||
          std::uint64_t{header.DataOffset} + header.DataLength > std::min(in_size, out_size))
        return kErrorInvalidParameter;
      length = header.DataLength;
      transfer.out_data_offset = header.DataOffset;
      transfer.out_has_header = true;
    } else {
      length = out_size;
      transfer.out_data_offset = 0;
    }
    if (length > kMaxDataBytes) return kErrorInvalidParameter;
    const std::uint32_t packets = header.PacketTableLength / 8;
    if (header.PacketTableLength % 8 != 0 ||
        (packets > 0 &&
         (header.PacketTableOffset < kHeader ||
          std::uint64_t{header.PacketTableOffset} + header.PacketTableLength > in_size ||
          (buffered && std::uint64_t{header.PacketTableOffset} + header.PacketTableLength > out_size) ||
          packets > length)))
      return kErrorInvalidParameter;
    transfer.packet_table_offset = header.PacketTableOffset;

    transfer.endpoint = header.EndpointAddress;
    transfer.direction_in = (header.EndpointAddress & 0x80) != 0;
    transfer.data.assign(length, 0);
    if (!transfer.direction_in && length > 0) {
      const std::uint8_t* source = buffered ? data + header.DataOffset : data;
      std::memcpy(transfer.data.data(), source, length);
    }
    transfer.raw.reset(libusb_alloc_transfer(static_cast<int>(packets)));
    if (!transfer.raw) return kErrorNotEnoughMemory;

    // Data transfers wait without a time-out of their own: the caller aborts them.
    libusb_transfer* raw = transfer.raw.get();
    libusb_device_handle* handle = device.handle.get();
    const int size = static_cast<int>(length);
    if (packets > 0) {
      libusb_fill_iso_transfer(raw, handle, transfer.endpoint, transfer.data.data(), size,
                               static_cast<int>(packets), OnTransferDone, &transfer, 0);
      // Every packet but the last carries an equal share; the last takes the rest.
      const std::uint32_t share = (length + packets - 1) / packets;
      std::uint32_t left = length;
      for (std::uint32_t i = 0; i < packets; ++i) {
        const std::uint32_t n = std::min(share, left);
        raw->iso_packet_desc[i].length = n;
        left -= n;
      }
    } else {
      const auto type = device.endpoint_types.find(transfer.endpoint);
      if (type != device.endpoint_types.end() && type->second == LIBUSB_TRANSFER_TYPE_INTERRUPT)
        libusb_fill_interrupt_transfer(raw, handle, transfer.endpoint, transfer.data.data(), size,
                                       OnTransferDone, &transfer, 0);
      else
        libusb_fill_bulk_transfer(raw, handle, transfer.endpoint, transfer.data.data(), size, OnTransferDone,
                                  &transfer, 0);
    }
    return usb::kErrorSuccess;
  }

  std::uint32_t Submit(const std::shared_ptr<Transfer>& transfer) {
    {
      std::lock_guard lock(core_->mutex);
      core_->in_flight.emplace(transfer.get(), transfer);
    }
    const int submitted = libusb_submit_transfer(transfer->raw.get());
    if (submitted == LIBUSB_SUCCESS) return usb::kErrorSuccess;
    std::lock_guard lock(core_->mutex);
    core_->in_flight.erase(transfer.get());
    return ErrorFromLibusb(submitted);
  }

  template <typename Predicate>
  void CancelWhere(Predicate matches) {
    std::vector<std::shared_ptr<Transfer>> chosen;
    {
      std::lock_guard lock(core_->mutex);
      for (const auto& [key, transfer] : core_->in_flight)
        if (matches(*transfer)) chosen.push_back(transfer);
    }
    // Outside the lock: libusb may call back on the event thread meanwhile. A transfer that has
    // just ended makes cancel report "not found", which is harmless.
    for (const std::shared_ptr<Transfer>& transfer : chosen) libusb_cancel_transfer(transfer->raw.get());
  }

  bool Drained() {
    std::lock_guard lock(core_->mutex);
    return core_->in_flight.empty();
  }

  template <typename Done>
  bool WaitDrained(Done done) {
    std::unique_lock lock(core_->mutex);
    return core_->drained.wait_for(lock, kDrainTime, [&] { return done(*core_); });
  }

  void StartEvents() {
    if (events_.joinable() || context_ == nullptr) return;
    stop_events_ = false;
    events_ = std::thread([this] {
      while (!stop_events_.load()) {
        timeval wait{0, 100000};
        libusb_handle_events_timeout_completed(context_, &wait, nullptr);
      }
    });
  }

  void StopEvents() {
    if (!events_.joinable()) return;
    stop_events_ = true;
    libusb_interrupt_event_handler(context_);
    events_.join();
  }

  libusb_context* context_ = nullptr;
  std::shared_ptr<Core> core_;
  // Modules may be opened, used and closed from different threads (one thread per module).
  std::mutex table_mutex_;
  std::map<usb::Handle, std::unique_ptr<OpenDevice>> devices_;
  usb::Handle next_handle_ = 1;
  std::thread events_;
  std::atomic<bool> stop_events_{false};
};

std::optional<std::uint8_t> ParseDecimal8(std::string_view text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

}  // namespace

std::span<const usb::UsbId> BuiltInModuleIds() {
  return kModuleIdTable;
}

std::vector<usb::UsbId> EffectiveModuleIds(std::span<const usb::UsbId> only) {
  if (!only.empty()) return {only.begin(), only.end()};
  return {kModuleIdTable.begin(), kModuleIdTable.end()};
}

std::uint32_t PackVersion(unsigned major, unsigned minor, unsigned micro, unsigned nano) {
  const auto byte = [](unsigned part) { return static_cast<std::uint32_t>(std::min(part, 255u)); };
  return byte(major) << 24 | byte(minor) << 16 | byte(micro) << 8 | byte(nano);
}

std::string FormatDevicePath(const DeviceAddress& device) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "usb:%03u:%03u:%04x:%04x", static_cast<unsigned>(device.bus),
                static_cast<unsigned>(device.address), static_cast<unsigned>(device.id.vendor),
                static_cast<unsigned>(device.id.product));
  return text.data();
}

std::optional<DeviceAddress> ParseDevicePath(std::string_view path) {
  // usb:BBB:AAA:vvvv:pppp
  if (path.size() > 64 || path.substr(0, 4) != "usb:") return std::nullopt;
  path.remove_prefix(4);
  const std::size_t first = path.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = path.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::optional<std::uint8_t> bus = ParseDecimal8(path.substr(0, first));
  const std::optional<std::uint8_t> address = ParseDecimal8(path.substr(first + 1, second - first - 1));
  const std::optional<usb::UsbId> id = usb::ParseUsbId(path.substr(second + 1));
  if (!bus || !address || !id) return std::nullopt;
  return DeviceAddress{*bus, *address, *id};
}

std::unique_ptr<usb::Driver> MakeLibusbDriver() {
  return std::make_unique<LibusbDriver>();
}

}  // namespace usb_libusb

namespace usb {

std::unique_ptr<access::Provider> access::MakeDefaultProvider() {
  return std::make_unique<VendorDriverProvider>(usb_libusb::MakeLibusbDriver());
}

}  // namespace usb
