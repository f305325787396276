// The simulated backend: modules that answer command frames over emulated driver requests.
#include "drivers/sim/sim_driver.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <typeinfo>

#include "text/text.h"
#include "usb/transfer_request.h"

namespace sim {
namespace {

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::size_t kHeader = usb::kTransferRequestSize;
constexpr std::string_view kPathPrefix = "sim:";

std::vector<std::uint8_t> BuildConfigDescriptor(std::uint16_t packet, bool bulk_in, bool bulk_out) {
  std::vector<std::uint8_t> d;
  d.reserve(9 + 9 + 7 + 7);
  d.insert(d.end(), {9, 2, 0, 0, 1, 1, 0, 0x80, 50});
  const std::uint8_t endpoints = static_cast<std::uint8_t>((bulk_in ? 1 : 0) + (bulk_out ? 1 : 0));
  d.insert(d.end(), {9, 4, 0, 0, endpoints, 0xFF, 0, 0, 0});
  const auto lo = static_cast<std::uint8_t>(packet & 0xFF);
  const auto hi = static_cast<std::uint8_t>(packet >> 8);
  if (bulk_in) d.insert(d.end(), {7, 5, 0x86, 2, lo, hi, 0});
  if (bulk_out) d.insert(d.end(), {7, 5, 0x02, 2, lo, hi, 0});
  usb::WriteLe16(d.data() + 2, static_cast<std::uint16_t>(d.size()));
  return d;
}

// UTF-16 units (text, or the language list) as a string descriptor, cut to what it can hold.
std::vector<std::uint8_t> StringDescriptor(std::u16string_view units) {
  units = units.substr(0, 126);
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * units.size()), 3};
  for (char16_t u : units) {
    d.push_back(static_cast<std::uint8_t>(u & 0xFF));
    d.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return d;
}

// The outcome is written, under the driver's lock, before `complete` is set; a caller that sees
// `complete` reads it without the lock. Atomics, as a state is reused by whichever thread asks next.
struct SimPending final : usb::PendingRequest {
  std::atomic<bool> complete{false};
  std::atomic<bool> success{false};
  std::atomic<std::uint32_t> transferred{0};
  std::atomic<std::uint32_t> error{0};
};

// An overlapped request the driver still owns.
struct Transfer {
  usb::Handle handle = usb::kInvalidHandle;
  std::size_t module = 0;
  std::uint8_t endpoint = 0;
  std::uint8_t* data = nullptr;  // where IN data go
  std::uint32_t size = 0;
  std::uint32_t extra = 0;  // bytes counted besides the data (the request of a buffered transfer)
  std::shared_ptr<SimPending> state;
  std::shared_ptr<usb::Event> event;
};

ModuleModel MakeModel(const ModuleConfig& config, std::uint64_t seed) {
  const Faults& f = config.faults;
  return ModuleModel(seed, {f.status_nibble, f.end_nibble, f.short_answer},
                     {f.stuck_after, f.bias_permille, f.repeat_after});
}

struct Module {
  ModuleConfig config;
  ModuleModel model;
  bool disconnected = false;
  std::uint32_t plugs = 0;  // times plugged in again
  std::optional<std::chrono::steady_clock::time_point> back_at;
};

// An open handle: its module, as plugged in when it was opened.
struct Opened {
  std::size_t module = 0;
  std::uint32_t plugs = 0;
};

void Finish(const std::shared_ptr<SimPending>& state, const std::shared_ptr<usb::Event>& event, bool success,
            std::uint32_t transferred, std::uint32_t error) {
  state->success.store(success, std::memory_order_relaxed);
  state->transferred.store(transferred, std::memory_order_relaxed);
  state->error.store(error, std::memory_order_relaxed);
  state->complete.store(true, std::memory_order_release);
  if (event) event->Signal();
}

}  // namespace

std::vector<std::uint8_t> DefaultDeviceDescriptor() {
  return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 1};
}

std::vector<std::uint8_t> DefaultConfigDescriptor() {
  return BuildConfigDescriptor(512, true, true);
}

struct SimDriver::Impl {
  Options options;
  mutable std::mutex mutex;
  std::vector<Module> modules;
  std::map<usb::Handle, Opened> handles;
  usb::Handle next_handle = 0x100;
  std::vector<Transfer> pending;
  std::vector<std::shared_ptr<SimPending>> spare_states;
  std::vector<RecordedRequest> requests;
  bool recording = true;
  std::thread worker;
  std::condition_variable wake;
  bool stop = false;
  bool work_due = false;
  std::chrono::steady_clock::time_point answer_due;

  void Record(std::uint32_t code, bool overlapped, const std::uint8_t* in, std::uint32_t in_size,
              std::uint32_t out_size) {
    if (!recording) return;
    RecordedRequest r;
    r.code = code;
    r.overlapped = overlapped;
    if (in != nullptr) r.input.assign(in, in + in_size);
    r.output_size = out_size;
    requests.push_back(std::move(r));
  }

  // A state no caller or transfer holds any more is reused: a block's requests allocate nothing.
  std::shared_ptr<SimPending> NewState() {
    for (const std::shared_ptr<SimPending>& state : spare_states) {
      if (state.use_count() == 1) {
        state->complete.store(false, std::memory_order_relaxed);
        return state;
      }
    }
    auto state = std::make_shared<SimPending>();
    if (spare_states.size() < 4) spare_states.push_back(state);
    return state;
  }

  bool Silent(const Module& m) const {
    const Faults& f = m.config.faults;
    return f.silent || (f.silent_after_blocks && m.model.Answered() >= *f.silent_after_blocks);
  }

  // Ends the transfers matching `which` with `error`.
  template <typename Pred>
  void EndPending(Pred which, std::uint32_t error) {
    auto keep =
        std::stable_partition(pending.begin(), pending.end(), [&](const Transfer& t) { return !which(t); });
    for (auto it = keep; it != pending.end(); ++it) Finish(it->state, it->event, false, 0, error);
    pending.erase(keep, pending.end());
  }

  void CheckDisconnect(std::size_t index) {
    Module& m = modules[index];
    const auto& after = m.config.faults.disconnect_after_blocks;
    if (m.disconnected || !after || m.model.Answered() < *after) return;
    m.disconnected = true;
    EndPending([index](const Transfer& t) { return t.module == index; }, usb::kErrorDeviceNotConnected);
    if (const auto& replug = m.config.faults.replug_after_ms)
      m.back_at = std::chrono::steady_clock::now() +
                  std::chrono::microseconds(std::uint64_t{*replug} * 1000 / options.time_divisor);
  }

  // An unplugged module whose time has come is there again, as if just powered up.
  void CheckReplug(Module& m) {
    if (!m.disconnected || !m.back_at || std::chrono::steady_clock::now() < *m.back_at) return;
    m.disconnected = false;
    m.back_at.reset();
    ++m.plugs;
    if (!m.config.faults.replug_serial.empty()) m.config.serial = m.config.faults.replug_serial;
    m.model = MakeModel(m.config, m.config.seed + kReplugSeedStep * m.plugs);
  }

  // The module of a handle still valid: not unplugged since it was opened.
  Module* Live(const Opened& opened) {
    Module& m = modules[opened.module];
    return m.disconnected || m.plugs != opened.plugs ? nullptr : &m;
  }

  // Hands waiting answer bytes to the module's pending IN transfers, oldest first.
  void ServeInputs(std::size_t index) {
    // Silence is decided when a command arrives: an answer already made is still delivered.
    Module& m = modules[index];
    for (auto it = pending.begin(); it != pending.end() && m.model.Pending() > 0;) {
      if (it->module != index || (it->endpoint & 0x80) == 0) {
        ++it;
        continue;
      }
      const auto n = static_cast<std::uint32_t>(m.model.Take(it->data, it->size));
      Finish(it->state, it->event, true, it->extra + n, 0);
      it = pending.erase(it);
    }
  }

  // The module reads the command as frames and queues one answer frame per command frame.
  void Feed(std::size_t index, const std::uint8_t* command, std::size_t size) {
    modules[index].model.Feed(command, size);
    if (options.complete_from_worker) {
      work_due = true;
      answer_due = std::chrono::steady_clock::now() + std::chrono::microseconds(options.latency_us);
      wake.notify_one();
    } else {
      ServeInputs(index);
    }
  }

  std::optional<std::vector<std::uint8_t>> Descriptor(const Module& m, std::uint8_t type,
                                                      std::uint8_t index) const {
    const ModuleConfig& c = m.config;
    switch (type) {
      case 1:
        return c.device_descriptor;
      case 2:
        if (c.faults.config_unreadable || index >= c.config_descriptors.size()) return std::nullopt;
        return c.config_descriptors[index];
      case 3: {
        if (c.faults.strings_unreadable) return std::nullopt;
        if (index == 0) return StringDescriptor(std::u16string(c.languages.begin(), c.languages.end()));
        if (index == 1) return StringDescriptor(text::Utf8ToUtf16(c.manufacturer));
        if (index == 2) return StringDescriptor(text::Utf8ToUtf16(c.product));
        if (index == 3) return StringDescriptor(text::Utf8ToUtf16(c.serial));
        return std::nullopt;
      }
      default:
        return std::nullopt;
    }
  }

  // A GET_DESCRIPTOR control transfer: the answer's data follow the header of `out`.
  bool ControlTransfer(const Module& m, const std::uint8_t* in, std::uint32_t in_size, std::uint8_t* out,
                       std::uint32_t out_size, std::uint32_t& returned) const {
    if (in == nullptr || out == nullptr || in_size < kHeader || out_size < kHeader) return false;
    const usb::TransferRequest header = usb::DecodeTransferRequest({in, in_size});
    if (header.bmRequestType != 0x80 || header.bRequest != 6) return false;
    const auto descriptor = Descriptor(m, static_cast<std::uint8_t>(header.wValue >> 8),
                                       static_cast<std::uint8_t>(header.wValue & 0xFF));
    if (!descriptor) return false;
    if (in != out) std::memmove(out, in, std::min(in_size, out_size));
    usb::WriteStatusWords({out, out_size}, {});  // success
    const std::size_t n = std::min<std::size_t>({header.wLength, descriptor->size(), out_size - kHeader});
    std::copy_n(descriptor->begin(), n, out + kHeader);
    returned = static_cast<std::uint32_t>(kHeader + n);
    return true;
  }

  void WorkerLoop() {
    std::unique_lock lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stop || work_due; });
      if (stop) return;
      work_due = false;
      // "Shortly after": the OUT call has returned by the time the answer arrives. A latency
      // shorter than the system's sleeps is waited out on the processor, as a bus would take it.
      const auto due = answer_due;
      lock.unlock();
      if (options.latency_us == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      } else {
        while (std::chrono::steady_clock::now() < due) std::this_thread::yield();
      }
      lock.lock();
      if (stop) return;
      for (std::size_t i = 0; i < modules.size(); ++i) ServeInputs(i);
    }
  }
};

SimDriver::SimDriver(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  for (const ModuleConfig& config : impl_->options.modules) {
    Module m{config, MakeModel(config, config.seed), false, 0, std::nullopt};
    if (m.config.device_descriptor.empty()) m.config.device_descriptor = DefaultDeviceDescriptor();
    if (m.config.config_descriptors.empty()) {
      // The bulk faults shape the default interface; explicit descriptors are taken as given.
      m.config.config_descriptors.push_back(BuildConfigDescriptor(
          m.config.high_speed ? 512 : 64, !m.config.faults.no_bulk_in, !m.config.faults.no_bulk_out));
    }
    impl_->modules.push_back(std::move(m));
  }
  if (impl_->options.complete_from_worker) impl_->worker = std::thread([this] { impl_->WorkerLoop(); });
}

SimDriver::~SimDriver() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stop = true;
  }
  impl_->wake.notify_all();
  if (impl_->worker.joinable()) impl_->worker.join();
}

std::unique_ptr<usb::DeviceList> SimDriver::ListPresent(const usb::Guid& guid,
                                                        std::span<const usb::UsbId> only) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->options.list_unavailable) return nullptr;
  std::vector<std::string> paths;
  if (guid == usb::kModuleInterfaceGuid) {
    for (std::size_t i = 0; i < impl_->modules.size(); ++i) {
      Module& m = impl_->modules[i];
      impl_->CheckReplug(m);
      if (m.disconnected) continue;
      const auto& d = m.config.device_descriptor;
      if (!only.empty()) {
        if (d.size() < 12) continue;
        const std::uint16_t vendor = usb::ReadLe16(d.data() + 8);
        const std::uint16_t product = usb::ReadLe16(d.data() + 10);
        if (std::find(only.begin(), only.end(), usb::UsbId{vendor, product}) == only.end()) continue;
      }
      paths.push_back(std::string(kPathPrefix) + std::to_string(i));
    }
  }
  return usb::MakePathList(std::move(paths));
}

usb::Handle SimDriver::Open(const std::string& path, usb::OpenFailure& failure) {
  std::lock_guard lock(impl_->mutex);
  if (path.size() <= kPathPrefix.size() || path.compare(0, kPathPrefix.size(), kPathPrefix) != 0) {
    return usb::kInvalidHandle;
  }
  std::size_t index = 0;
  const char* first = path.data() + kPathPrefix.size();
  const char* last = path.data() + path.size();
  const auto [end, ec] = std::from_chars(first, last, index);
  if (ec != std::errc{} || end != last || index >= impl_->modules.size()) return usb::kInvalidHandle;
  Module& m = impl_->modules[index];
  impl_->CheckReplug(m);
  if (m.disconnected) {
    failure.reason = "the simulated module " + path + " was unplugged";
    return usb::kInvalidHandle;
  }
  if (m.config.faults.open_fails) {
    failure.reason = "the simulated module " + path + " refuses to be opened (fault open_fails)";
    return usb::kInvalidHandle;
  }
  const usb::Handle handle = impl_->next_handle++;
  impl_->handles[handle] = Opened{index, m.plugs};
  return handle;
}

bool SimDriver::Close(usb::Handle handle) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->handles.erase(handle) == 0) return false;
  // Closing a handle cancels what is still pending on it.
  impl_->EndPending([handle](const Transfer& t) { return t.handle == handle; }, usb::kErrorOperationAborted);
  return true;
}

bool SimDriver::Request(usb::Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
                        std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) {
  std::lock_guard lock(impl_->mutex);
  impl_->Record(code, false, in, in_size, out_size);
  returned = 0;
  const auto found = impl_->handles.find(handle);
  if (found == impl_->handles.end()) return false;
  const std::size_t index = found->second.module;
  impl_->CheckDisconnect(index);
  if (impl_->Live(found->second) == nullptr) return false;
  Module& m = impl_->modules[index];

  auto answer = [&](std::uint32_t size, std::uint32_t value) {
    if (out == nullptr || out_size < size) return false;
    std::memset(out, 0, size);
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(size, 4); ++i) {
      out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    returned = size;
    return true;
  };
  switch (code) {
    case usb::kRequestDriverVersion:
      return answer(4, m.config.driver_version);
    case usb::kRequestInfoWord:
      return answer(4, 0);
    case usb::kRequestAltSetting:
      return answer(1, m.config.alt_setting);
    case usb::kRequestInfoByte:
      return answer(1, 0);
    case usb::kRequestInfoBlock1:
    case usb::kRequestInfoBlock2:
      return answer(256, 0);
    case usb::kRequestBusSpeed:
      return answer(4, m.config.high_speed ? 2 : 1);
    case usb::kRequestControlTransfer:
      return impl_->ControlTransfer(m, in, in_size, out, out_size, returned);
    case usb::kRequestAbortPipe: {
      if (in == nullptr || in_size < 1) return false;
      const std::uint8_t endpoint = in[0];
      if (!m.config.faults.abort_ineffective) {
        impl_->EndPending([&](const Transfer& t) { return t.module == index && t.endpoint == endpoint; },
                          usb::kErrorOperationAborted);
      }
      return true;
    }
    default:
      return false;
  }
}

std::uint32_t SimDriver::RequestOverlapped(usb::Handle handle, std::uint32_t code, const std::uint8_t* in,
                                           std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                           usb::CompletionRecord& record) {
  std::lock_guard lock(impl_->mutex);
  impl_->Record(code, true, in, in_size, out_size);
  const std::shared_ptr<SimPending> state = impl_->NewState();
  record.pending = state;
  auto refuse = [&](std::uint32_t error) {
    Finish(state, nullptr, false, 0, error);
    return error;
  };
  const auto found = impl_->handles.find(handle);
  if (found == impl_->handles.end()) return refuse(kErrorInvalidHandle);
  const std::size_t index = found->second.module;
  impl_->CheckDisconnect(index);
  if (impl_->Live(found->second) == nullptr) return refuse(usb::kErrorDeviceNotConnected);
  Module& m = impl_->modules[index];
  if (m.config.faults.refuse_requests) return refuse(usb::kErrorGenFailure);
  if (in == nullptr || in_size < kHeader) return refuse(kErrorInvalidParameter);
  const usb::TransferRequest header = usb::DecodeTransferRequest({in, in_size});

  Transfer t;
  t.handle = handle;
  t.module = index;
  t.endpoint = header.EndpointAddress;
  // Only a transfer that stays with the driver holds its state and event.
  const auto keep = [&] {
    t.state = state;
    t.event = record.event;
    impl_->pending.push_back(std::move(t));
  };
  switch (code) {
    case usb::kRequestDirectTransfer:
      t.data = out;
      t.size = out == nullptr ? 0 : out_size;
      break;
    case usb::kRequestBufferedTransfer:
      if (out == nullptr || header.DataOffset > out_size) return refuse(kErrorInvalidParameter);
      t.data = out + header.DataOffset;
      t.size = std::min(header.DataLength, out_size - header.DataOffset);
      t.extra = header.DataOffset;
      break;
    case usb::kRequestControlTransfer: {
      std::uint32_t returned = 0;
      if (!impl_->ControlTransfer(m, in, in_size, out, out_size, returned))
        return refuse(usb::kErrorGenFailure);
      Finish(state, record.event, true, returned, 0);
      return usb::kErrorSuccess;
    }
    default:
      return refuse(kErrorInvalidFunction);
  }

  if ((t.endpoint & 0x80) != 0) {
    keep();
    // Answer bytes already waiting go to the oldest IN first; this one may still have to wait.
    impl_->ServeInputs(index);
    return state->complete ? usb::kErrorSuccess : usb::kErrorIoPending;
  }
  if (impl_->Silent(m)) {
    keep();
    return usb::kErrorIoPending;
  }
  // The module always reads the whole command; a short send shows only in the reported count.
  const std::uint32_t reported = t.size - std::min(t.size, m.config.faults.short_send);
  const bool stays_pending = m.config.faults.send_pending;
  const std::uint32_t transferred = t.extra + reported;
  const std::uint8_t* command = t.data;
  const std::uint32_t size = t.size;
  if (stays_pending) keep();
  impl_->Feed(index, command, size);
  if (stays_pending) return usb::kErrorIoPending;
  Finish(state, record.event, true, transferred, 0);
  return usb::kErrorSuccess;
}

usb::OverlappedOutcome SimDriver::Collect(usb::Handle /*handle*/, usb::CompletionRecord& record) {
  // A record another driver filled is not ours to read; the exact type says so cheaply.
  const usb::PendingRequest* pending = record.pending.get();
  if (pending == nullptr || typeid(*pending) != typeid(SimPending))
    return {true, false, 0, usb::kErrorGenFailure};
  const auto* state = static_cast<const SimPending*>(pending);
  if (!state->complete.load(std::memory_order_acquire)) return {false, false, 0, usb::kErrorIoIncomplete};
  return {true, state->success.load(std::memory_order_relaxed),
          state->transferred.load(std::memory_order_relaxed), state->error.load(std::memory_order_relaxed)};
}

std::shared_ptr<usb::Event> SimDriver::CreateEvent() {
  return usb::MakePortableEvent(impl_->options.time_divisor);
}

bool SimDriver::AwaitArrival(std::uint32_t ms) {
  auto until = std::chrono::steady_clock::now() +
               std::chrono::microseconds(std::uint64_t{ms} * 1000 / impl_->options.time_divisor);
  bool arrives = false;
  {
    std::lock_guard lock(impl_->mutex);
    for (const Module& m : impl_->modules) {
      if (m.disconnected && m.back_at && *m.back_at <= until) {
        until = *m.back_at;
        arrives = true;
      }
    }
  }
  // Not sleep_until alone: for a steady clock it sleeps once, and a sleep that ends early (a
  // Windows sleep shorter than asked) would report an arrival whose time has not come yet.
  for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now())
    std::this_thread::sleep_for(until - now);
  return arrives;
}

std::vector<RecordedRequest> SimDriver::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void SimDriver::SetRecording(bool on) {
  std::lock_guard lock(impl_->mutex);
  impl_->recording = on;
}

std::uint32_t SimDriver::AnsweredRequests(std::size_t index) const {
  std::lock_guard lock(impl_->mutex);
  return index < impl_->modules.size() ? impl_->modules[index].model.Answered() : 0;
}

std::size_t SimDriver::OpenHandles() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->handles.size();
}

}  // namespace sim
