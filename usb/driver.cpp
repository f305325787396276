// The portable auto-reset event, the process-wide driver and the selected module identifiers.
#include "usb/driver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>

namespace usb {
namespace {

class PortableEvent final : public Event {
 public:
  explicit PortableEvent(std::uint32_t time_divisor) : divisor_(time_divisor == 0 ? 1 : time_divisor) {}

  WaitResult Wait(std::uint32_t ms) override {
    std::unique_lock lock(mutex_);
    if (ms == std::numeric_limits<std::uint32_t>::max()) {
      signalled_cv_.wait(lock, [this] { return signalled_; });
    } else if (ms > 0) {
      // A shortened wait still waits: a zero wait would turn every time-out into a poll.
      std::uint32_t scaled = ms / divisor_;
      if (scaled == 0) scaled = 1;
      signalled_cv_.wait_for(lock, std::chrono::milliseconds(scaled), [this] { return signalled_; });
    }
    if (!signalled_) return WaitResult::TimedOut;
    signalled_ = false;
    return WaitResult::Signalled;
  }

  void Signal() override {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    signalled_cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable signalled_cv_;
  bool signalled_ = false;
  std::uint32_t divisor_;
};

struct DriverSlot {
  std::mutex mutex;
  std::unique_ptr<Driver> fallback;  // made on first use and kept for the process
  Driver* installed = nullptr;
  std::atomic<Driver*> current{nullptr};  // the answer of CurrentDriver, read on every request
};

DriverSlot& Slot() {
  static DriverSlot slot;
  return slot;
}

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

Driver& CurrentDriver() {
  DriverSlot& slot = Slot();
  if (Driver* current = slot.current.load(std::memory_order_acquire); current != nullptr) return *current;
  std::lock_guard lock(slot.mutex);
  if (slot.installed == nullptr && !slot.fallback) slot.fallback = MakeDefaultDriver();
  Driver* current = slot.installed != nullptr ? slot.installed : slot.fallback.get();
  slot.current.store(current, std::memory_order_release);
  return *current;
}

void SetDriver(Driver* driver) {
  DriverSlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  slot.installed = driver;
  slot.current.store(driver != nullptr ? driver : slot.fallback.get(), std::memory_order_release);
}

std::vector<UsbId>& SelectedModuleIds() {
  static std::vector<UsbId> ids;
  return ids;
}

}  // namespace usb
