// An emulated USB bus for the libusb backend's tests. Each device is a programmatic usbfs device
// (umockdev's ioctl handler) whose bulk endpoints carry the module's command frames to a
// sim::ModuleModel and its answers back, so that the real libusb, and the real program, run
// unmodified against it and sim::ExpectedRecord predicts every byte. It works only in a process
// running under umockdev's preload library (see Unavailable).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace emulated {

inline constexpr std::uint16_t kVendor = 0x1234;  // every emulated device's vendor ID
inline constexpr std::uint8_t kBulkIn = 0x81;
inline constexpr std::uint8_t kBulkOut = 0x01;

// ShortAnswer: answers lack their last bytes; Stall: waiting receives stall; Unplug: the device goes.
enum class Fault { None, ShortAnswer, Stall, Unplug };

struct DeviceOptions {
  std::uint16_t product = 0x5678;
  unsigned address = 2;  // on bus 1
  bool high_speed = true;
  std::string product_name = "Emulated RNG module";
  std::string serial = "EMU-0001";
  std::uint64_t seed = 1;
  Fault fault = Fault::None;
  std::uint32_t fault_at_request = 0;  // block requests answered normally before the fault
};

// Why the emulation cannot run here (umockdev's preload library is not loaded); empty when it can.
std::string Unavailable();

// For a test's SetUp: without the emulation the test is skipped, or fails where the environment
// demands the emulation (RNGACQ_REQUIRE_EMULATION=1, as CI sets), so that it cannot vanish there.
void SkipOrFailWithoutEmulation();

class Testbed {
 public:
  Testbed();
  ~Testbed();

  void Add(const DeviceOptions& options);

  // Lets a process of another user use the bus (its files and the devices' sockets), while the
  // device nodes stay closed to it: root's own processes would pass any permission, so such a
  // process sees what a user without the udev rule sees. Without root, the nodes are made
  // read-only for their owner instead.
  void DenyDeviceAccess();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace emulated
