// The acquisition run: the device link, the data files with their logs, the two endings.
#pragma once

#include <cstdint>

#include "app/settings.h"
#include "usb/access.h"

namespace app {

// Returns the program's exit code.
// Both take their modules from `provider`.
std::int32_t RunAcquisition(const RunSettings& settings, usb::access::Provider& provider);

// /LIST: one line per attached module (index, USB ID, speed, serial number, product).
std::int32_t ListModules(const RunSettings& settings, usb::access::Provider& provider);

// The error ending's tail used by start-up when the catalogue is missing (no link, no files).
std::int32_t EndWithoutRun();

}  // namespace app
