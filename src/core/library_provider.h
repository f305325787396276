// The provider behind the C interface: the backend's own, made on first use and kept for the
// process, unless a test installs another.
#pragma once

#include "usb/access.h"

namespace core {

usb::access::Provider& LibraryProvider();
// `provider` outlives every module opened while it is installed; nullptr restores the backend's.
void SetLibraryProvider(usb::access::Provider* provider);

}  // namespace core
