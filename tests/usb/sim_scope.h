// Installs a simulated driver for the duration of a test.
#pragma once

#include "drivers/sim/sim_driver.h"

struct SimScope {
  explicit SimScope(sim::Options options = {}) : driver(std::move(options)) { usb::SetDriver(&driver); }
  explicit SimScope(sim::ModuleConfig module) : SimScope(Single(std::move(module))) {}
  ~SimScope() { usb::SetDriver(nullptr); }
  static sim::Options Single(sim::ModuleConfig module) {
    sim::Options options;
    options.modules = {std::move(module)};
    return options;
  }
  sim::SimDriver driver;
};
