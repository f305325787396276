// The acquisition run: the device link, the data files with their logs, the two endings.
#pragma once

#include <cstdint>

#include "app/settings.h"
#include "console/output.h"
#include "usb/access.h"

namespace app {

// Returns the program's exit code.
// Both take their modules from `provider`. The run writes its records' logs through `log`.
std::int32_t RunAcquisition(const RunSettings& settings, usb::access::Provider& provider,
                            console::WarningLogState& log);

// /LIST: one line per attached module (index, USB ID, speed, serial number, product).
std::int32_t ListModules(const RunSettings& settings, usb::access::Provider& provider);

// The error ending's tail used by start-up when the catalogue is missing (no link, no files).
std::int32_t EndWithoutRun();

}  // namespace app
