// The libusb provider as the default of the rngacq program and librngacq. Kept apart so that a
// program with another default (the benchmarks) can use the provider too.
#include "drivers/libusb/libusb_provider.h"

std::unique_ptr<usb::access::Provider> usb::access::MakeDefaultProvider() {
  return libusb::MakeLibusbProvider();
}
