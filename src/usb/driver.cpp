// The portable auto-reset event, the process-wide driver, the keep-alive list and USB IDs.
#include "usb/driver.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

namespace usb {
namespace {

class PortableEvent final : public Event {
 public:
  explicit PortableEvent(std::uint32_t time_divisor) : divisor_(time_divisor == 0 ? 1 : time_divisor) {}

  WaitResult Wait(std::uint32_t ms) override {
    // A transfer usually ends before its wait: the signal is taken without the lock or the clock.
    if (Take()) return WaitResult::Signalled;
    if (ms == 0) return WaitResult::TimedOut;
    std::unique_lock lock(mutex_);
    waiters_.fetch_add(1);
    bool taken = true;
    if (ms == std::numeric_limits<std::uint32_t>::max()) {
      signalled_cv_.wait(lock, [this] { return Take(); });
    } else {
      // A shortened wait still waits: a zero wait would turn every time-out into a poll.
      std::uint32_t scaled = ms / divisor_;
      if (scaled == 0) scaled = 1;
      taken = signalled_cv_.wait_for(lock, std::chrono::milliseconds(scaled), [this] { return Take(); });
    }
    waiters_.fetch_sub(1);
    return taken ? WaitResult::Signalled : WaitResult::TimedOut;
  }

  void Signal() override {
    // Sequentially consistent on both sides: either a waiter's check sees the signal, or the
    // signaller sees the waiter and wakes it under the lock it waits with.
    signalled_.store(true);
    if (waiters_.load() == 0) return;
    { std::lock_guard lock(mutex_); }
    signalled_cv_.notify_all();
  }

 private:
  bool Take() { return signalled_.exchange(false); }

  std::mutex mutex_;
  std::condition_variable signalled_cv_;
  std::atomic<bool> signalled_{false};
  std::atomic<int> waiters_{0};
  std::uint32_t divisor_;
};

class PathList final : public DeviceList {
 public:
  explicit PathList(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  std::uint32_t Enumerate(std::uint32_t index) override {
    return index < paths_.size() ? kErrorSuccess : kErrorNoMoreItems;
  }
  std::optional<std::string> DevicePath(std::uint32_t index) override {
    if (index >= paths_.size()) return std::nullopt;
    return paths_[index];
  }

 private:
  std::vector<std::string> paths_;
};

}  // namespace

std::unique_ptr<DeviceList> MakePathList(std::vector<std::string> paths) {
  return std::make_unique<PathList>(std::move(paths));
}

std::shared_ptr<Event> MakePortableEvent(std::uint32_t time_divisor) {
  return std::make_shared<PortableEvent>(time_divisor);
}

void KeepUntilExit(std::shared_ptr<const void> what) {
  // Never destroyed: the memory must outlive the static destructors that run at exit, the
  // default driver's among them, which may hand over its own state last of all.
  union Immortal {
    std::vector<std::shared_ptr<const void>> list;
    Immortal() : list() {}
    ~Immortal() {}
  };
  static std::mutex* const mutex = [] {
    static union M {
      std::mutex m;
      M() : m() {}
      ~M() {}
    } storage;
    return &storage.m;
  }();
  static Immortal kept;
  std::lock_guard lock(*mutex);
  kept.list.push_back(std::move(what));
}

bool access::Provider::AwaitArrival(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return false;
}

bool Driver::AwaitArrival(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return false;
}

std::optional<UsbId> ParseUsbId(std::string_view text) {
  // from_chars reads no sign and no prefix into an unsigned value: four digits are four digits.
  const auto half = [](std::string_view digits) -> std::optional<std::uint16_t> {
    std::uint16_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.size() != 4 || error != std::errc{} || end != digits.data() + digits.size())
      return std::nullopt;
    return value;
  };
  if (text.size() != 9 || text[4] != ':') return std::nullopt;
  const std::optional<std::uint16_t> vendor = half(text.substr(0, 4));
  const std::optional<std::uint16_t> product = half(text.substr(5));
  if (!vendor || !product) return std::nullopt;
  return UsbId{*vendor, *product};
}

}  // namespace usb
