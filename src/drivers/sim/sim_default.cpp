// The simulated module as the provider of the rngacq-sim program. Kept apart so that tests
// linking the simulation can make providers of their own.
#include <cstdlib>
#include <stdexcept>

#include "drivers/sim/sim_driver.h"
#include "usb/vendor_provider.h"

namespace usb {

std::unique_ptr<access::Provider> access::MakeDefaultProvider() {
  sim::Options options;
  if (const char* text = std::getenv("RNGACQ_SIM"); text != nullptr) {
    std::string error;
    std::optional<sim::Options> parsed = sim::ParseOptions(text, error);
    if (!parsed) throw std::invalid_argument("RNGACQ_SIM: " + error);
    options = std::move(*parsed);
  }
  auto driver = std::make_unique<sim::SimDriver>(std::move(options));
  // The program keeps no history of its requests: its memory must not grow with the record.
  driver->SetRecording(false);
  return std::make_unique<VendorDriverProvider>(std::move(driver));
}

}  // namespace usb
