// The provider of a build without USB access: no module is ever present.
#include <memory>

#include "usb/access.h"

namespace usb::access {
namespace {

class NoProvider final : public Provider {
 public:
  std::uint8_t CountDevices(std::span<const UsbId>) override { return 0; }
  std::unique_ptr<Device> Open(std::span<const UsbId>, std::uint8_t, OpenFailure&) override {
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<Provider> MakeDefaultProvider() {
  return std::make_unique<NoProvider>();
}

}  // namespace usb::access
