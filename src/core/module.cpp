#include "core/module.h"

#include <charconv>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <utility>

namespace core {
namespace {

constexpr std::uint32_t kSendWaitMs = 9000;
constexpr std::uint32_t kAbortWaitMs = 2000;
using protocol::CommandFrame;
using protocol::kClosingFrame;
using protocol::Signature;
constexpr std::int32_t kFrame = static_cast<std::int32_t>(kFrameSize);

std::uint16_t ReadBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

bool EndsWithClosingFrame(const std::uint8_t* command, std::int32_t size) {
  const std::uint8_t* last = command + size - kFrame;
  return std::memcmp(last, kClosingFrame.data(), 4) == 0 && (last[8] & 0x80) != 0;
}

// Waits for one transfer; a transfer that did not end is aborted, and one still under way gets
// the extra time. A transfer the system refused at once was never waited for: the module is gone.
void AwaitTransfer(usb::access::EndPoint& endpoint, usb::access::Start start, bool& timed_out, bool& gone,
                   bool& failed) {
  using usb::access::Start;
  const bool started = start != Start::NotStarted;
  if (started && endpoint.WaitForTransfer(kSendWaitMs)) return;
  failed = true;
  if (started) {
    endpoint.Abort();
    if (start == Start::Pending) {
      endpoint.WaitForTransfer(kAbortWaitMs);
      timed_out = true;
      return;
    }
  }
  gone = true;
}

Error FromExchange(const ExchangeReport& report, Error refused) {
  if (report.code == 0) return Error::None;
  if (report.code == 1) return refused;
  if (report.code == 2) return Error::NoMemory;
  if (report.gone) return Error::ModuleGone;
  if (report.send_timed_out || report.receive_timed_out) return Error::Timeout;
  return Error::ShortTransfer;
}

ModuleInfo Identify(const usb::access::Device& device) {
  ModuleInfo info;
  static_cast<usb::access::Identity&>(info) = device.Identify();
  const auto& d = info.device_descriptor;
  info.id = {static_cast<std::uint16_t>(d[8] | (d[9] << 8)),
             static_cast<std::uint16_t>(d[10] | (d[11] << 8))};
  return info;
}

// Closes a device; the system's words when it refuses.
bool Release(std::unique_ptr<usb::access::Device> device, std::string& failure) {
  return !device || device->Close(failure);
}

}  // namespace

const char* ErrorText(int error) {
  // Indexed by the negated error value.
  static constexpr const char* kTexts[] = {
      "success",
      "no random-number module is attached",
      "more than one random-number module is attached; select one",
      "no attached module matches the selector",
      ("permission denied when opening the module's device node; install the udev rule "
       "60-rngacq.rules (it must list the module's USB ID), then replug the module"),
      "the module cannot be opened",
      "the module lacks its bulk IN or bulk OUT endpoint",
      "the module did not answer in time",
      "the module took or gave fewer bytes than asked",
      "the module's status does not match the generator mode",
      "the module stopped answering (unplugged?)",
      "a lost transfer still holds the module's buffers; reopen the module",
      "invalid argument",
      "out of memory",
      "the system refused to release the module",
      "an unexpected fault inside the library",
  };
  static_assert(std::size(kTexts) == 1 - static_cast<int>(Error::Internal));
  if (error > 0 || error < static_cast<int>(Error::Internal)) return "unknown error";
  return kTexts[-error];
}

std::optional<Selector> ParseSelector(std::string_view text) {
  Selector selector;
  if (text.empty()) return selector;
  const auto after = [&](std::string_view prefix) -> std::optional<std::string_view> {
    if (text.substr(0, prefix.size()) != prefix) return std::nullopt;
    return text.substr(prefix.size());
  };
  if (const auto serial = after("serial=")) {
    if (serial->empty() || serial->size() > kMaxSerialLength) return std::nullopt;
    selector.kind = Selector::Kind::Serial;
    selector.serial = std::string(*serial);
  } else if (const auto id = after("id=")) {
    const std::optional<usb::UsbId> parsed = usb::ParseUsbId(*id);
    if (!parsed) return std::nullopt;
    selector.ids.push_back(*parsed);
  } else if (const auto index = after("index=")) {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(index->data(), index->data() + index->size(), value);
    if (index->empty() || ec != std::errc{} || end != index->data() + index->size()) return std::nullopt;
    selector.kind = Selector::Kind::Index;
    selector.index = value;
  } else {
    return std::nullopt;
  }
  return selector;
}

std::string VersionText(std::uint32_t version) {
  return std::to_string((version >> 24) & 0xFFu) + "." + std::to_string((version >> 16) & 0xFFu) + "." +
         std::to_string((version >> 8) & 0xFFu) + "." + std::to_string(version & 0xFFu);
}

Error Module::Open(usb::access::Provider& provider, const Selector& selector, std::unique_ptr<Module>& module,
                   OpenReport& report) {
  module.reset();
  report = {};
  try {
    return OpenInto(provider, selector, module, report);
  } catch (const std::bad_alloc&) {
    module.reset();
    return Error::NoMemory;
  }
}

Error Module::OpenInto(usb::access::Provider& provider, const Selector& selector,
                       std::unique_ptr<Module>& module, OpenReport& report) {
  std::unique_ptr<Module> opened(new Module());  // the constructor is private to the class
  opened->buffers_ = std::make_shared<Buffers>();
  const std::uint8_t present = provider.CountDevices(selector.ids);
  report.present = present;
  if (present == 0) {
    report.candidates = provider.CandidateDescriptions(selector.ids);
    return Error::NoModule;
  }

  // Each failure releases what was opened; should that fail too, the client hears of it.
  const auto fail = [&](Error error) {
    // The endpoints go with the device: nothing may point at them afterwards.
    opened->in_ = nullptr;
    opened->out_ = nullptr;
    Release(std::move(opened->device_), report.release_failure);
    return error;
  };
  usb::OpenFailure failure;
  const auto open = [&](std::uint8_t index) {
    opened->device_ = provider.Open(selector.ids, index, failure);
    if (!failure.release.empty()) report.release_failure = failure.release;
    return opened->device_ != nullptr;
  };
  switch (selector.kind) {
    case Selector::Kind::Only:
      if (present > 1) return fail(Error::SeveralModules);
      open(0);
      break;
    case Selector::Kind::Index:
      if (selector.index >= present) return fail(Error::NoMatch);
      open(static_cast<std::uint8_t>(selector.index));
      break;
    case Selector::Kind::Serial: {
      usb::OpenFailure first;  // why the first device that failed to open failed
      for (std::uint8_t i = 0; i < present && !opened->device_; ++i) {
        if (!open(i)) {
          if (first.reason.empty()) first = failure;
          continue;
        }
        if (Identify(*opened->device_).serial != selector.serial &&
            !Release(std::move(opened->device_), report.release_failure))
          return Error::NoMatch;
      }
      failure = first;
      if (!opened->device_ && failure.reason.empty() && !failure.access_denied) return fail(Error::NoMatch);
      break;
    }
  }
  if (!opened->device_) {
    report.reason = failure.reason;
    return fail(failure.access_denied ? Error::AccessDenied : Error::OpenFailed);
  }

  usb::access::Device& device = *opened->device_;
  opened->info_ = Identify(device);
  report.info = opened->info_;
  report.identified = true;
  opened->transfer_unit_ = opened->info_.high_speed ? 2048 : 64;
  opened->in_ = device.BulkInEndPoint();
  opened->out_ = device.BulkOutEndPoint();
  if (opened->in_ == nullptr || opened->out_ == nullptr) {
    report.bulk_in_missing = opened->in_ == nullptr;
    return fail(Error::NoEndPoints);
  }
  module = std::move(opened);
  return Error::None;
}

std::unique_ptr<Module> Module::OverEndPoints(usb::access::EndPoint& in, usb::access::EndPoint& out,
                                              std::int32_t transfer_unit) {
  std::unique_ptr<Module> module(new Module());
  module->in_ = &in;
  module->out_ = &out;
  module->transfer_unit_ = transfer_unit;
  module->buffers_ = std::make_shared<Buffers>();
  return module;
}

Module::~Module() {
  std::string ignored;
  Close(&ignored);
}

bool Module::Stranded() const {
  return (in_ != nullptr && in_->StrandedTransfers() != 0) ||
         (out_ != nullptr && out_->StrandedTransfers() != 0);
}

Error Module::Close(std::string* failure) {
  // A lost transfer may still write into the exchange buffers: they live on until exit.
  if (Stranded() && buffers_) usb::KeepUntilExit(buffers_);
  in_ = nullptr;
  out_ = nullptr;
  std::string words;
  const bool released = Release(std::move(device_), words);
  if (failure != nullptr) *failure = words;
  return released ? Error::None : Error::ReleaseFailed;
}

Error Module::SetMode(std::uint8_t mode) {
  if (mode != kModeRnd && mode != kModeRaw) return Error::InvalidArgument;
  mode_ = mode;
  return Error::None;
}

std::span<const std::uint8_t> Module::Answer() const {
  if (!buffers_) return {};
  return {buffers_->receive.data(), static_cast<std::size_t>(answer_size_)};
}

Error Module::Exchange(const std::uint8_t* command, std::int32_t size, std::int32_t answer_length,
                       ExchangeReport& report, const std::function<void()>& meanwhile) {
  report = {};
  answer_size_ = 0;
  if (size == 0) return Error::None;
  report.code = 1;
  if (size % kFrame != 0 || command == nullptr) return Error::InvalidArgument;
  // Sizes the buffers cannot hold are refused before anything is sent, and so is any exchange
  // once a lost transfer may still write into the buffers.
  constexpr std::int32_t kLimit = kExchangeBufferSize - kFrame;
  if (size < 0 || size > kLimit || answer_length < 1 || answer_length > kLimit) return Error::InvalidArgument;
  if (in_ == nullptr || out_ == nullptr || transfer_unit_ <= 0 || !buffers_) return Error::InvalidArgument;
  if (Stranded()) return Error::Unusable;

  std::uint8_t* send = buffers_->send.data();
  std::uint8_t* receive = buffers_->receive.data();
  std::memcpy(send, command, static_cast<std::size_t>(size));
  if (answer_length % transfer_unit_ != 0 && !EndsWithClosingFrame(command, size)) {
    std::memcpy(send + size, kClosingFrame.data(), kFrameSize);
    size += kFrame;
    answer_length += kFrame;
  }
  // The receive buffer is not cleared: an answer is used only when the driver delivered every
  // byte of it.

  // Each transfer's event is made before either starts: without the send's nothing was begun
  // (code 1), without the receive's code 2.
  if (!out_->Prepare()) return Error::NoMemory;
  report.code = 2;
  if (!in_->Prepare()) return Error::NoMemory;
  report.code = 0;
  // The receive goes first so that the module's answer always has a transfer to land in.
  const usb::access::Start receive_start = in_->BeginTransfer(receive, answer_length);
  const usb::access::Start send_start = out_->BeginTransfer(send, size);
  // Buffers the system may be writing into must not be left behind by an exception.
  std::exception_ptr deferred;
  if (meanwhile) {
    try {
      meanwhile();
    } catch (...) {
      deferred = std::current_exception();
    }
  }

  bool send_failed = false;
  bool receive_failed = false;
  AwaitTransfer(*out_, send_start, report.send_timed_out, report.gone, send_failed);
  AwaitTransfer(*in_, receive_start, report.receive_timed_out, report.gone, receive_failed);
  if (send_failed) report.code = 4;
  if (receive_failed) report.code = 5;

  // A transfer under way that the system ends because the device went away is an unplugged
  // module, not a short transfer.
  const usb::access::Finished sent = out_->FinishTransfer();
  if (sent.length != size) {
    report.code += 16;
    report.gone = report.gone || sent.unplugged;
    report.short_send = !send_failed && !report.gone;
  }
  const usb::access::Finished received = in_->FinishTransfer();
  if (received.length == answer_length) {
    answer_size_ = answer_length;
  } else {
    report.code += 32;
    report.gone = report.gone || received.unplugged;
    report.short_answer = !receive_failed && !report.gone;
  }
  if (deferred) std::rethrow_exception(deferred);
  return FromExchange(report, Error::InvalidArgument);
}

Error Module::RequestBlock(std::uint32_t length, bool is_last, std::uint8_t* data, BlockReport& report,
                           const std::function<void()>& meanwhile) {
  report = {};
  if (length > kBlockSize || (data == nullptr && length != 0)) return Error::InvalidArgument;
  const std::uint32_t n = protocol::DataFrames(length);
  report.frames = n;

  // The request's frames never change but for the mode and the frame count: one template per
  // module, patched in place.
  std::array<std::uint8_t, 5 * kFrameSize>& command = command_;
  if (command[0] == 0) {
    const auto put = [&](std::size_t slot, const std::array<std::uint8_t, kFrameSize>& frame) {
      std::memcpy(command.data() + slot * kFrameSize, frame.data(), kFrameSize);
    };
    put(0, CommandFrame(Signature::C0DE, 0x00, 0x03, 0x00));
    put(1, CommandFrame(Signature::C0DE, 0x04, 0x00, 0x00));
    put(2, CommandFrame(Signature::DA7A, 0x00, 0x00, 0x00));
    put(3, CommandFrame(Signature::C0DE, 0x10, 0x00, 0x00));
    put(4, kClosingFrame);
  }
  command[kFrameSize + 15] = mode_;
  command[2 * kFrameSize + 14] = static_cast<std::uint8_t>(n >> 8);
  command[2 * kFrameSize + 15] = static_cast<std::uint8_t>(n);
  std::int32_t frames = 4;
  auto answer_length = static_cast<std::int32_t>(16 * (n + 4));
  if (length != kBlockSize) {
    ++frames;
    answer_length += 16;
  }

  const Error exchanged =
      Exchange(command.data(), frames * kFrame, answer_length, report.exchange, meanwhile);
  if (exchanged != Error::None) return exchanged;

  const std::uint8_t* answer = buffers_->receive.data();
  report.status = answer[protocol::kStatusAt] & 0x0F;
  if (report.status != mode_) return Error::WrongStatus;
  if (is_last) {
    report.end_checked = true;
    report.end = answer[protocol::EndStatusAt(n)] & 0x0F;
    report.index_a = ReadBe16(answer + protocol::kIndexAAt);
    report.index_b = ReadBe16(answer + protocol::kIndexBAt);
  }
  if (length != 0) std::memcpy(data, answer + protocol::kDataAt, length);
  return Error::None;
}

Error Module::Read(std::uint8_t* data, std::size_t length, std::size_t& done) {
  done = 0;
  if (data == nullptr && length != 0) return Error::InvalidArgument;
  BlockReport report;
  while (length - done > kBlockSize) {
    if (const Error error = RequestBlock(kBlockSize, false, data + done, report); error != Error::None)
      return error;
    done += kBlockSize;
  }
  // A read of whole blocks ends with a whole block, as a record of that length does.
  const auto rest = static_cast<std::uint32_t>(length - done);
  if (rest == 0) return Error::None;
  if (const Error error = RequestBlock(rest, rest != kBlockSize, data + done, report); error != Error::None)
    return error;
  done = length;
  return Error::None;
}

Error ListModules(usb::access::Provider& provider, std::vector<ModuleInfo>& modules,
                  std::span<const usb::UsbId> ids) {
  modules.clear();
  try {
    const std::uint8_t present = provider.CountDevices(ids);
    for (std::uint8_t i = 0; i < present; ++i) {
      usb::OpenFailure failure;
      std::unique_ptr<usb::access::Device> device = provider.Open(ids, i, failure);
      if (!failure.release.empty()) return Error::ReleaseFailed;
      modules.push_back(device ? Identify(*device) : ModuleInfo{});
      std::string words;
      if (device && !device->Close(words)) return Error::ReleaseFailed;
    }
  } catch (const std::bad_alloc&) {
    return Error::NoMemory;
  }
  return Error::None;
}

}  // namespace core
