#include "drivers/libusb/libusb_provider.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "text/text.h"

namespace libusb {
namespace {

#include "module_ids.inc"  // kModuleIdTable, generated from RNGACQ_MODULE_IDS

using usb::access::Finished;
using usb::access::Start;

// A control transfer never waits without end; the grace covers a completion handled late.
constexpr unsigned kControlTimeoutMs = 5000;
constexpr auto kControlGrace = std::chrono::milliseconds(1000);
// How long a finish waits for a transfer that has not come back (it was aborted already).
constexpr auto kCollectTime = std::chrono::milliseconds(2000);
// How long closing waits for cancelled transfers to come back from libusb.
constexpr auto kDrainTime = std::chrono::seconds(5);
constexpr std::size_t kMaxCandidates = 16;
constexpr std::size_t kMaxStringUnits = 127;  // the string area of the identification: 128 units
constexpr std::size_t kMaxCandidateChars = 64;
constexpr std::uint8_t kVendorSpecificClass = 0xFF;
constexpr std::uint16_t kEnglishUs = 0x0409;

// The pairs that count as modules: those selected, when there are any, else the compiled-in
// table (CMake cache list RNGACQ_MODULE_IDS).
std::vector<usb::UsbId> EffectiveModuleIds(std::span<const usb::UsbId> only) {
  if (!only.empty()) return {only.begin(), only.end()};
  return {kModuleIdTable.begin(), kModuleIdTable.end()};
}

// The driver version reported: the libusb version packed as major.minor.micro.nano, one byte
// each, most significant first. A part too large for its byte (libusb's nano is a build number
// in the thousands) saturates at 255 rather than wrap.
std::uint32_t PackVersion(unsigned major, unsigned minor, unsigned micro, unsigned nano) {
  const auto byte = [](unsigned part) { return static_cast<std::uint32_t>(std::min(part, 255u)); };
  return byte(major) << 24 | byte(minor) << 16 | byte(micro) << 8 | byte(nano);
}

std::string HexId(const usb::UsbId& id) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%04x:%04x", static_cast<unsigned>(id.vendor),
                static_cast<unsigned>(id.product));
  return text.data();
}

struct DeviceListDeleter {
  void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
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

// One attached device as libusb lists it.
struct Attached {
  libusb_device* device;
  std::uint8_t bus;
  std::uint8_t address;
  libusb_device_descriptor descriptor;
  usb::UsbId Id() const { return {descriptor.idVendor, descriptor.idProduct}; }
  std::string Node() const {
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(bus),
                  static_cast<unsigned>(address));
    return text.data();
  }
};

// The devices libusb sees, in bus and address order; held until the snapshot goes.
class Snapshot {
 public:
  explicit Snapshot(libusb_context* context) {
    libusb_device** raw = nullptr;
    if (context == nullptr) return;
    const ssize_t count = libusb_get_device_list(context, &raw);
    if (count < 0 || raw == nullptr) return;
    list_.reset(raw);
    for (libusb_device* device : std::span(raw, static_cast<std::size_t>(count))) {
      Attached attached{device, libusb_get_bus_number(device), libusb_get_device_address(device), {}};
      if (libusb_get_device_descriptor(device, &attached.descriptor) == LIBUSB_SUCCESS)
        devices_.push_back(attached);
    }
    std::sort(devices_.begin(), devices_.end(), [](const Attached& a, const Attached& b) {
      return std::pair(a.bus, a.address) < std::pair(b.bus, b.address);
    });
  }
  // The devices whose ID is (`listed` true) or is not (false) among `ids`.
  std::vector<Attached> Where(std::span<const usb::UsbId> ids, bool listed) const {
    std::vector<Attached> chosen;
    for (const Attached& attached : devices_)
      if ((std::find(ids.begin(), ids.end(), attached.Id()) != ids.end()) == listed)
        chosen.push_back(attached);
    return chosen;
  }

 private:
  std::unique_ptr<libusb_device*, DeviceListDeleter> list_;
  std::vector<Attached> devices_;
};

ConfigPtr ConfigOf(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS || config == nullptr) {
    config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return nullptr;
  }
  return ConfigPtr(config);
}

// The first bulk endpoint of `setting` in the direction asked; 0 when there is none.
std::uint8_t FirstBulk(const libusb_interface_descriptor& setting, bool in) {
  for (const libusb_endpoint_descriptor& endpoint : std::span(setting.endpoint, setting.bNumEndpoints))
    if ((endpoint.bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK &&
        ((endpoint.bEndpointAddress & 0x80) != 0) == in)
      return endpoint.bEndpointAddress;
  return 0;
}

// A vendor-specific interface with a bulk IN and a bulk OUT endpoint: the shape of a module.
bool LooksLikeModule(const libusb_config_descriptor& config) {
  for (const libusb_interface& interface : std::span(config.interface, config.bNumInterfaces))
    for (const libusb_interface_descriptor& setting :
         std::span(interface.altsetting, static_cast<std::size_t>(interface.num_altsetting)))
      if (setting.bInterfaceClass == kVendorSpecificClass && FirstBulk(setting, true) != 0 &&
          FirstBulk(setting, false) != 0)
        return true;
  return false;
}

// The standard device descriptor as the device sends it (little-endian words).
std::array<std::uint8_t, 18> Encode(const libusb_device_descriptor& d) {
  const auto lo = [](std::uint16_t word) { return static_cast<std::uint8_t>(word & 0xFF); };
  const auto hi = [](std::uint16_t word) { return static_cast<std::uint8_t>(word >> 8); };
  return {d.bLength,         d.bDescriptorType, lo(d.bcdUSB),        hi(d.bcdUSB),    d.bDeviceClass,
          d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0,   lo(d.idVendor),  hi(d.idVendor),
          lo(d.idProduct),   hi(d.idProduct),   lo(d.bcdDevice),     hi(d.bcdDevice), d.iManufacturer,
          d.iProduct,        d.iSerialNumber,   d.bNumConfigurations};
}

// The libusb context. The provider and each device it opened share it, so it outlives them all. No thread of
// its own handles libusb's events: a caller that waits for a transfer handles them (libusb lets one thread at
// a time, the others wait for it).
class Session {
 public:
  Session() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS) context_.reset(context);
  }
  libusb_context* context() const { return context_.get(); }

 private:
  struct Exit {
    void operator()(libusb_context* context) const { libusb_exit(context); }
  };
  std::unique_ptr<libusb_context, Exit> context_;
};

// One libusb transfer, allocated once and submitted again for each use. The completion, in
// whichever thread handles the events, writes the outcome and then clears `busy` (release); the
// owner reads the outcome only after it has seen `busy` clear (acquire).
struct Slot {
  Slot(Session& owner, int packets) : session(&owner), raw(libusb_alloc_transfer(packets)) {}
  Session* session;
  TransferPtr raw;
  std::atomic<bool> busy = false;  // submitted and not called back yet
  libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
  int actual = 0;
};

// Once the slot shows idle its owner may reuse or free it, so nothing here touches it after.
void LIBUSB_CALL OnDone(libusb_transfer* raw) {
  auto* slot = static_cast<Slot*>(raw->user_data);
  slot->status = raw->status;
  slot->actual = std::max(raw->actual_length, 0);
  slot->busy.store(false, std::memory_order_release);
}

// libusb's answer to the submission (LIBUSB_SUCCESS: the completion will come). The outcome is
// reset before libusb sees the transfer: its own locks order these writes before the completion.
int Submit(Slot& slot) {
  slot.status = LIBUSB_TRANSFER_ERROR;
  slot.actual = 0;
  slot.busy.store(true, std::memory_order_relaxed);
  const int submitted = libusb_submit_transfer(slot.raw.get());
  if (submitted != LIBUSB_SUCCESS) slot.busy.store(false, std::memory_order_relaxed);
  return submitted;
}

bool Idle(const Slot& slot) {
  return !slot.busy.load(std::memory_order_acquire);
}

// Handles libusb's events until the slot's transfer has come back, or `time` has passed. A wait
// for another thread's handling ends at every event it handles, or after a short while (its
// notice may have gone out just before this thread began to wait).
template <typename Duration>
bool AwaitIdle(Slot& slot, Duration time) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kSlice = std::chrono::milliseconds(50);
  if (Idle(slot)) return true;  // the usual case when a transfer is collected: no clock read
  const Clock::time_point end = Clock::now() + time;
  libusb_context* context = slot.session->context();
  while (!Idle(slot)) {
    const Clock::time_point now = Clock::now();
    if (now >= end) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(std::min<Clock::duration>(end - now, kSlice));
    timeval wait{static_cast<time_t>(left.count() / 1000000),
                 static_cast<suseconds_t>(left.count() % 1000000)};
    libusb_handle_events_timeout_completed(context, &wait, nullptr);
  }
  return true;
}

// One control transfer from the device, submitted and waited for like every other transfer
// (libusb's synchronous calls are not safe while another thread handles events: in 1.0.26 their
// completion still reads the transfer after waking the waiter, who frees it). The bytes received,
// or nothing.
std::optional<std::size_t> ControlIn(const std::shared_ptr<Session>& session, libusb_device_handle* handle,
                                     std::uint8_t request, std::uint16_t value, std::uint16_t index,
                                     std::span<std::uint8_t> data) {
  struct Control {
    Control(Session& s, std::size_t size) : slot(s, 0), buffer(LIBUSB_CONTROL_SETUP_SIZE + size) {}
    Slot slot;
    std::vector<std::uint8_t> buffer;
    std::shared_ptr<Session> session;  // set when the transfer must be kept
  };
  auto control = std::make_shared<Control>(*session, data.size());
  if (!control->slot.raw) return std::nullopt;
  libusb_fill_control_setup(control->buffer.data(), LIBUSB_ENDPOINT_IN, request, value, index,
                            static_cast<std::uint16_t>(data.size()));
  libusb_fill_control_transfer(control->slot.raw.get(), handle, control->buffer.data(), OnDone,
                               &control->slot, kControlTimeoutMs);
  if (Submit(control->slot) != LIBUSB_SUCCESS) return std::nullopt;
  if (!AwaitIdle(control->slot, std::chrono::milliseconds(kControlTimeoutMs) + kControlGrace)) {
    libusb_cancel_transfer(control->slot.raw.get());
    if (!AwaitIdle(control->slot, kDrainTime)) {
      // libusb still owns it: the transfer, its buffer and the session stay for good.
      control->session = session;
      usb::KeepUntilExit(control);
    }
    return std::nullopt;
  }
  if (control->slot.status != LIBUSB_TRANSFER_COMPLETED) return std::nullopt;
  const std::size_t got = std::min(static_cast<std::size_t>(control->slot.actual), data.size());
  std::memcpy(data.data(), control->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, got);
  return got;
}

// A string descriptor as UTF-16 units, in US English when the device offers it, else in its
// first language; empty when it cannot be read.
std::u16string ReadString(const std::shared_ptr<Session>& session, libusb_device_handle* handle,
                          std::uint8_t index) {
  if (index == 0) return {};
  std::array<std::uint8_t, 255> raw{};
  constexpr std::uint16_t kString = LIBUSB_DT_STRING << 8;
  std::optional<std::size_t> got = ControlIn(session, handle, LIBUSB_REQUEST_GET_DESCRIPTOR, kString, 0, raw);
  if (!got || *got < 4 || raw[1] != LIBUSB_DT_STRING) return {};
  std::uint16_t language = static_cast<std::uint16_t>(raw[2] | raw[3] << 8);
  for (std::size_t i = 2; i + 1 < std::min<std::size_t>(*got, raw[0]); i += 2)
    if ((raw[i] | raw[i + 1] << 8) == kEnglishUs) language = kEnglishUs;
  got = ControlIn(session, handle, LIBUSB_REQUEST_GET_DESCRIPTOR, static_cast<std::uint16_t>(kString | index),
                  language, raw);
  if (!got || *got < 2 || raw[1] != LIBUSB_DT_STRING) return {};
  std::u16string units;
  const std::size_t end = std::min<std::size_t>(*got, raw[0]);
  for (std::size_t i = 2; i + 1 < end && units.size() < kMaxStringUnits; i += 2) {
    const auto unit = static_cast<char16_t>(raw[i] | raw[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  return units;
}

// A bulk endpoint: one transfer, allocated at open, submitted straight from or into the
// caller's buffer for each use.
class BulkEndPoint final : public usb::access::EndPoint {
 public:
  BulkEndPoint(Session& session, libusb_device_handle* handle, std::uint8_t address)
      : slot_(std::make_shared<Slot>(session, 0)), handle_(handle), address_(address) {}

  bool Prepare() override { return slot_->raw != nullptr; }

  Start BeginTransfer(std::uint8_t* buffer, std::int32_t length) override {
    // One transfer at a time: a second begin leaves the first alone.
    if (Busy()) return Start::Refused;
    started_ = Start::Refused;
    refused_unplugged_ = false;
    length_ = length;
    if (!slot_->raw || length < 0 || (buffer == nullptr && length > 0)) return started_;
    // Bulk transfers wait without a time-out of their own: the caller aborts them.
    libusb_fill_bulk_transfer(slot_->raw.get(), handle_, address_, buffer, length, OnDone, slot_.get(), 0);
    const int submitted = Submit(*slot_);
    if (submitted == LIBUSB_SUCCESS) return started_ = Start::Pending;
    refused_unplugged_ = submitted == LIBUSB_ERROR_NO_DEVICE;
    return started_;
  }

  bool WaitForTransfer(std::uint32_t ms) override {
    return started_ == Start::Pending && AwaitIdle(*slot_, std::chrono::milliseconds(ms));
  }

  void Abort() override {
    // libusb may call back meanwhile: a transfer that has just ended makes cancel report "not
    // found", which is harmless.
    if (started_ == Start::Pending && Busy()) libusb_cancel_transfer(slot_->raw.get());
  }

  Finished FinishTransfer() override {
    Finished finished;
    const Start started = std::exchange(started_, Start::NotStarted);
    if (started != Start::Pending) {
      finished.unplugged = refused_unplugged_;
      return finished;
    }
    if (!AwaitIdle(*slot_, kCollectTime)) {
      // libusb still owns the transfer and the caller's buffer.
      ++stranded_;
      return finished;
    }
    finished.success = slot_->status == LIBUSB_TRANSFER_COMPLETED;
    finished.length = std::min(slot_->actual, length_);
    finished.unplugged = slot_->status == LIBUSB_TRANSFER_NO_DEVICE;
    return finished;
  }

  std::uint32_t StrandedTransfers() const override { return stranded_; }

  bool Busy() const { return !Idle(*slot_); }
  // Asks for the transfer to end and waits for it; false when libusb keeps it.
  bool Drain() {
    if (Busy()) libusb_cancel_transfer(slot_->raw.get());
    return AwaitIdle(*slot_, kDrainTime);
  }

 private:
  std::shared_ptr<Slot> slot_;
  libusb_device_handle* handle_;
  std::uint8_t address_;
  Start started_ = Start::NotStarted;
  bool refused_unplugged_ = false;
  std::int32_t length_ = 0;
  std::uint32_t stranded_ = 0;
};

// What an open device holds of libusb. When a transfer never comes back, all of it is kept until
// the process ends: libusb may still write into the transfer and read the handle.
struct OpenState {
  explicit OpenState(std::shared_ptr<Session> owner) : session(std::move(owner)) {}
  ~OpenState() {
    in.reset();
    out.reset();
    // Releasing hands the interfaces back to their kernel drivers (auto-detach reattaches).
    for (const int number : claimed) libusb_release_interface(handle.get(), number);
  }
  std::shared_ptr<Session> session;
  HandlePtr handle;
  std::vector<int> claimed;
  std::optional<BulkEndPoint> in;
  std::optional<BulkEndPoint> out;
};

class LibusbDevice final : public usb::access::Device {
 public:
  LibusbDevice(std::unique_ptr<OpenState> state, usb::access::Identity identity)
      : state_(std::move(state)), identity_(std::move(identity)) {}
  ~LibusbDevice() override {
    std::string ignored;
    Close(ignored);
  }
  LibusbDevice(const LibusbDevice&) = delete;
  LibusbDevice& operator=(const LibusbDevice&) = delete;

  const usb::access::Identity& Identify() const override { return identity_; }
  usb::access::EndPoint* BulkInEndPoint() override { return state_ && state_->in ? &*state_->in : nullptr; }
  usb::access::EndPoint* BulkOutEndPoint() override {
    return state_ && state_->out ? &*state_->out : nullptr;
  }

  bool Close(std::string& /*failure*/) override {
    if (!state_) return true;
    // A transfer still in flight is cancelled, not abandoned; one libusb never gives back keeps
    // everything it may touch.
    bool drained = true;
    for (std::optional<BulkEndPoint>* endpoint : {&state_->in, &state_->out})
      if (*endpoint && !(*endpoint)->Drain()) drained = false;
    if (!drained) usb::KeepUntilExit(std::shared_ptr<OpenState>(std::move(state_)));
    state_.reset();
    return true;
  }

 private:
  std::unique_ptr<OpenState> state_;
  usb::access::Identity identity_;
};

// Access to the device node is the cause of a failed open the user can remedy; the others
// are named as libusb names them. `node` names the device for the user.
void NoteOpenProblem(int code, const std::string& node, const usb::UsbId& id, usb::OpenFailure& failure) {
  if (code != LIBUSB_ERROR_ACCESS) {
    failure.reason = node + ": " + libusb_strerror(code);
    return;
  }
  failure.access_denied = true;
  failure.reason = node + " (USB ID " + HexId(id) +
                   "); the udev rule 60-rngacq.rules must list this ID, then replug the module.";
}

// An opened device made ready: its interfaces claimed, the bulk endpoints of its first
// interface's current setting taken, its identity read. nullptr with `failure` saying why.
std::unique_ptr<usb::access::Device> TakeDevice(const std::shared_ptr<Session>& session, HandlePtr handle,
                                                const std::string& node, usb::OpenFailure& failure) {
  libusb_device* device = libusb_get_device(handle.get());
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
    failure.reason = node + ": its device descriptor cannot be read";
    return nullptr;
  }
  auto state = std::make_unique<OpenState>(session);
  state->handle = std::move(handle);
  libusb_device_handle* raw_handle = state->handle.get();
  libusb_set_auto_detach_kernel_driver(raw_handle, 1);  // not supported everywhere; then ignored

  const ConfigPtr config = ConfigOf(device);
  if (config) {
    for (const libusb_interface& interface : std::span(config->interface, config->bNumInterfaces)) {
      if (interface.num_altsetting <= 0) continue;
      const int number = interface.altsetting[0].bInterfaceNumber;
      if (std::find(state->claimed.begin(), state->claimed.end(), number) != state->claimed.end()) continue;
      const int claimed = libusb_claim_interface(raw_handle, number);
      if (claimed != LIBUSB_SUCCESS) {
        NoteOpenProblem(claimed, node, {descriptor.idVendor, descriptor.idProduct}, failure);
        return nullptr;  // `state` releases what was claimed and closes
      }
      state->claimed.push_back(number);
    }
  }
  // The endpoints of the first interface's current setting, as the device reports it.
  if (config && config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
    const libusb_interface& first = config->interface[0];
    std::uint8_t current = 0;
    if (ControlIn(session, raw_handle, LIBUSB_REQUEST_GET_INTERFACE, 0, first.altsetting[0].bInterfaceNumber,
                  std::span(&current, 1)) != std::optional<std::size_t>{1})
      current = 0;
    const libusb_interface_descriptor* setting = &first.altsetting[0];
    for (const libusb_interface_descriptor& s :
         std::span(first.altsetting, static_cast<std::size_t>(first.num_altsetting)))
      if (s.bAlternateSetting == current) setting = &s;
    if (const std::uint8_t in = FirstBulk(*setting, true); in != 0)
      state->in.emplace(*session, raw_handle, in);
    if (const std::uint8_t out = FirstBulk(*setting, false); out != 0)
      state->out.emplace(*session, raw_handle, out);
  }

  usb::access::Identity identity;
  identity.device_descriptor = Encode(descriptor);
  identity.high_speed = libusb_get_device_speed(device) >= LIBUSB_SPEED_HIGH;
  const libusb_version* version = libusb_get_version();
  identity.driver_version = PackVersion(version->major, version->minor, version->micro, version->nano);
  identity.serial = text::Utf16ToUtf8(ReadString(session, raw_handle, descriptor.iSerialNumber));
  identity.product = text::Utf16ToUtf8(ReadString(session, raw_handle, descriptor.iProduct));
  return std::make_unique<LibusbDevice>(std::move(state), std::move(identity));
}

class LibusbProvider final : public usb::access::Provider {
 public:
  LibusbProvider() : session_(std::make_shared<Session>()) {}
  ~LibusbProvider() override {
    if (notice_) libusb_hotplug_deregister_callback(session_->context(), *notice_);
  }
  LibusbProvider(const LibusbProvider&) = delete;
  LibusbProvider& operator=(const LibusbProvider&) = delete;

  // libusb's hot-plug notice where the platform gives one; elsewhere only the wait.
  bool AwaitArrival(std::uint32_t ms) override {
    libusb_context* context = session_->context();
    if (context == nullptr || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0)
      return Provider::AwaitArrival(ms);
    if (!notice_) {
      libusb_hotplug_callback_handle handle = 0;
      const auto on_arrival = +[](libusb_context*, libusb_device*, libusb_hotplug_event, void* flag) {
        *static_cast<int*>(flag) = 1;
        return 0;  // stays registered
      };
      if (libusb_hotplug_register_callback(context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                           LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                           LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, on_arrival,
                                           &arrived_, &handle) != LIBUSB_SUCCESS)
        return Provider::AwaitArrival(ms);
      notice_ = handle;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    arrived_ = 0;
    // Each call handles what events came, or waits for the first: go on until the time is up.
    for (Clock::time_point now = Clock::now(); arrived_ == 0 && now < end; now = Clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - now);
      timeval wait{static_cast<time_t>(left.count() / 1000000),
                   static_cast<suseconds_t>(left.count() % 1000000)};
      if (libusb_handle_events_timeout_completed(context, &wait, &arrived_) == LIBUSB_ERROR_INTERRUPTED)
        break;
    }
    return arrived_ != 0;
  }

  std::uint8_t CountDevices(std::span<const usb::UsbId> only) override {
    const std::size_t count = Snapshot(session_->context()).Where(EffectiveModuleIds(only), true).size();
    return static_cast<std::uint8_t>(std::min<std::size_t>(count, 0xFF));
  }

  std::unique_ptr<usb::access::Device> Open(std::span<const usb::UsbId> only, std::uint8_t index,
                                            usb::OpenFailure& failure) override {
    const Snapshot snapshot(session_->context());
    const std::vector<Attached> modules = snapshot.Where(EffectiveModuleIds(only), true);
    if (index >= modules.size()) {
      failure.reason = "the module left before it could be opened";
      return nullptr;
    }
    const Attached& module = modules[index];
    libusb_device_handle* raw_handle = nullptr;
    const int opened = libusb_open(module.device, &raw_handle);
    if (opened != LIBUSB_SUCCESS) {
      NoteOpenProblem(opened, module.Node(), module.Id(), failure);
      return nullptr;
    }
    return TakeDevice(session_, HandlePtr(raw_handle), module.Node(), failure);
  }

  std::vector<std::string> CandidateDescriptions(std::span<const usb::UsbId> only) override {
    const Snapshot snapshot(session_->context());
    std::vector<std::string> lines;
    for (const Attached& other : snapshot.Where(EffectiveModuleIds(only), false)) {
      const ConfigPtr config = ConfigOf(other.device);
      if (!config || !LooksLikeModule(*config)) continue;
      if (lines.size() == kMaxCandidates) break;
      std::string line = HexId(other.Id());
      libusb_device_handle* raw_handle = nullptr;
      const int opened = libusb_open(other.device, &raw_handle);
      if (opened == LIBUSB_SUCCESS) {
        const HandlePtr handle(raw_handle);
        const std::string product = Printable(ReadString(session_, raw_handle, other.descriptor.iProduct));
        const std::string serial =
            Printable(ReadString(session_, raw_handle, other.descriptor.iSerialNumber));
        if (!product.empty()) line += " \"" + product + "\"";
        if (!serial.empty()) line += " serial \"" + serial + "\"";
      } else if (opened == LIBUSB_ERROR_ACCESS) {
        line += " (no permission to read its product and serial: " + other.Node() + ")";
      }
      lines.push_back(std::move(line));
    }
    return lines;
  }

 private:
  // A device's own text on the user's terminal: printable ASCII of bounded length.
  static std::string Printable(const std::u16string& units) {
    std::string text;
    for (const char16_t unit : units) {
      if (text.size() == kMaxCandidateChars) break;
      text.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
    }
    return text;
  }

  std::shared_ptr<Session> session_;
  std::optional<libusb_hotplug_callback_handle> notice_;  // registered at the first wait
  int arrived_ = 0;  // set by the notice, in the thread that handles libusb's events
};

// The one device of a descriptor the system or the caller opened.
class SystemDeviceProvider final : public usb::access::Provider {
 public:
  explicit SystemDeviceProvider(std::intptr_t system_device)
      : session_(std::make_shared<Session>()), system_device_(system_device) {}

  std::uint8_t CountDevices(std::span<const usb::UsbId> /*only*/) override {
    return session_->context() != nullptr ? 1 : 0;
  }

  std::unique_ptr<usb::access::Device> Open(std::span<const usb::UsbId> /*only*/, std::uint8_t index,
                                            usb::OpenFailure& failure) override {
    const std::string node = "descriptor " + std::to_string(system_device_);
    if (index != 0 || session_->context() == nullptr) {
      failure.reason = node + ": no such device";
      return nullptr;
    }
    libusb_device_handle* raw_handle = nullptr;
    const int wrapped = libusb_wrap_sys_device(session_->context(), system_device_, &raw_handle);
    if (wrapped != LIBUSB_SUCCESS) {
      failure.reason = node + ": " + libusb_strerror(wrapped);
      return nullptr;
    }
    return TakeDevice(session_, HandlePtr(raw_handle), node, failure);
  }

 private:
  std::shared_ptr<Session> session_;
  std::intptr_t system_device_;
};

}  // namespace

std::unique_ptr<usb::access::Provider> MakeLibusbProvider() {
  return std::make_unique<LibusbProvider>();
}

std::unique_ptr<usb::access::Provider> MakeSystemDeviceProvider(std::intptr_t system_device) {
  return std::make_unique<SystemDeviceProvider>(system_device);
}

}  // namespace libusb
