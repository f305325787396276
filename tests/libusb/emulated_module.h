// An emulated USB bus for the libusb backend's tests. Each device is a programmatic usbfs device
// (umockdev's ioctl handler) that answers the module's command frames over its bulk endpoints,
// so that the real libusb, and the real program, run unmodified against it. It works only in a
// process running under umockdev's preload library (see Testbed::Available).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emulated {

// The module's generator: a seeded sequence the tests reproduce to check every byte.
class DataGenerator {
 public:
  explicit DataGenerator(std::uint32_t seed) : state_(seed == 0 ? 1 : seed) {}
  std::uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint32_t state_;
};

// The bytes a record of `length` bytes holds when it is fetched in blocks of 1984 bytes (and a
// remainder) from a module whose generator starts at `seed`: each block's data frames are whole
// 16-byte frames, of which the tail of the last is discarded.
std::vector<std::uint8_t> ExpectedRecord(std::uint32_t seed, std::uint64_t length);

enum class Fault {
  None,
  Silent,          // the command is taken, no answer comes
  ShortAnswer,     // half of the answer comes
  Stall,           // the bulk IN endpoint stalls
  Unplug,          // the device disappears
  WrongStatus,     // the status byte does not echo the generator mode
  WrongEndNibble,  // the end frame does not carry 0xD
};

struct DeviceOptions {
  std::uint16_t vendor = 0x1234;
  std::uint16_t product = 0x5678;
  unsigned bus = 1;
  unsigned address = 2;
  bool high_speed = true;
  std::string manufacturer = "Emulated";
  std::string product_name = "Emulated RNG module";
  std::string serial = "EMU-0001";
  std::uint32_t seed = 1;
  Fault fault = Fault::None;
  unsigned fault_at_request = 0;  // block requests answered normally before the fault
};

inline constexpr std::uint8_t kBulkIn = 0x81;
inline constexpr std::uint8_t kBulkOut = 0x01;

class Device {
 public:
  virtual ~Device() = default;
  // Command frames received with a count frame (one per block request).
  virtual unsigned Requests() const = 0;
  // The generator mode of the latest mode frame.
  virtual std::uint8_t LastMode() const = 0;
};

// True when umockdev's preload library is loaded into this process.
bool PreloadActive();

class Testbed {
 public:
  // True when this process runs under umockdev's preload library; otherwise `why` says so.
  static bool Available(std::string& why);

  Testbed();
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  Device& Add(const DeviceOptions& options);

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
