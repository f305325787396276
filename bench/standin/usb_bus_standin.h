// An in-process stand-in for the USB bus under libusb, for measuring the libusb provider's own
// cost: one high-speed module whose usbfs descriptor answers libusb's ioctl, read, lseek and
// poll calls in this process (the functions are interposed by this program), with the simulated
// module's frame model behind its bulk endpoints. No system call reaches the kernel for it.
#pragma once

#include <cstdint>

namespace standin {

// Plugs the module in; the descriptor to give libusb_wrap_sys_device (the read end of a pipe,
// which the kernel never reports writable: only the stand-in says when a transfer is done).
int PlugIn(std::uint64_t seed);
void Unplug();

}  // namespace standin
