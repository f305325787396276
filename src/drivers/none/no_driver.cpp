// The backend for a build without USB access: no module is ever present.
#include <memory>

#include "usb/driver.h"

namespace usb {
namespace {

class NoDriver final : public Driver {
 public:
  std::unique_ptr<DeviceList> ListPresent(const Guid&, std::span<const UsbId>) override { return nullptr; }
  Handle Open(const std::string&, OpenFailure&) override { return kInvalidHandle; }
  bool Close(Handle) override { return false; }
  bool Request(Handle, std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t,
               std::uint32_t& returned) override {
    returned = 0;
    return false;
  }
  std::uint32_t RequestOverlapped(Handle, std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t*,
                                  std::uint32_t, CompletionRecord&) override {
    return kErrorGenFailure;
  }
  OverlappedOutcome Collect(Handle, CompletionRecord&) override { return {true, false, 0, kErrorGenFailure}; }
  std::shared_ptr<Event> CreateEvent() override { return MakePortableEvent(); }
};

}  // namespace

std::unique_ptr<Driver> MakeDefaultDriver() {
  return std::make_unique<NoDriver>();
}

}  // namespace usb
