// The USB access operations the module protocol relies on, in the program's own terms: a provider
// counts and opens modules; an opened device gives its identity and its two bulk endpoints; an
// endpoint carries one transfer at a time (begin, wait, abort, finish). Providers: the vendor
// driver's request interface (usb/vendor_provider.h, over the Windows driver or the simulated
// module) and libusb (drivers/libusb).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace usb {

// A USB vendor and product identifier pair.
struct UsbId {
  std::uint16_t vendor;
  std::uint16_t product;
  friend bool operator==(const UsbId&, const UsbId&) = default;
};

// "vvvv:pppp", four hexadecimal digits each; nothing for any other text.
std::optional<UsbId> ParseUsbId(std::string_view text);

// Why an Open failed, as far as the provider can tell.
struct OpenFailure {
  bool access_denied = false;  // the user may not open the device node (a remedy exists)
  std::string reason;          // for the user; empty when the provider knows nothing more
  std::string release;         // releasing the half-opened device failed too: the system's words
};

// Raised when the platform refuses to release a device handle or registration.
class UsbCloseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace access {

// How a transfer's start went.
enum class Start {
  AtOnce,      // completed during the start
  Pending,     // under way; WaitForTransfer sees its end
  Refused,     // the system refused it: nothing is under way
  NotStarted,  // the device is closed
};

// A finished transfer.
struct Finished {
  bool success = false;     // the transfer ended without error
  std::int32_t length = 0;  // data bytes moved (at most the length begun with)
  bool unplugged = false;   // it ended because the device went away
};

class EndPoint {
 public:
  virtual ~EndPoint() = default;
  // Makes what a transfer needs (its completion event) ahead of the start; false when the system
  // has none to give.
  virtual bool Prepare() = 0;
  // Starts a transfer of `length` bytes to (IN) or from (OUT) `buffer`, which stays in the
  // provider's hands until FinishTransfer.
  virtual Start BeginTransfer(std::uint8_t* buffer, std::int32_t length) = 0;
  // True when the transfer completed at once or ended within `ms`; neither cancels nor finishes it.
  virtual bool WaitForTransfer(std::uint32_t ms) = 0;
  // Asks for every transfer pending on the pipe to end; an ended transfer is seen by a wait.
  virtual void Abort() = 0;
  // Collects the outcome without waiting for long, exactly once per started transfer. A transfer
  // still not given back by the system is stranded: its buffer is never to be reused or freed.
  virtual Finished FinishTransfer() = 0;
  virtual std::uint32_t StrandedTransfers() const = 0;
};

// What an opened device says of itself.
struct Identity {
  std::array<std::uint8_t, 18> device_descriptor{};  // idVendor at 8-9, idProduct at 10-11
  bool high_speed = false;
  std::uint32_t driver_version = 0;  // a.b.c.d, one byte each, most significant first
  std::string serial;                // UTF-8
  std::string product;               // UTF-8
};

class Device {
 public:
  virtual ~Device() = default;
  virtual const Identity& Identify() const = 0;
  // The first bulk IN and OUT endpoints of the active interface; nullptr when there is none.
  // Valid until Close.
  virtual EndPoint* BulkInEndPoint() = 0;
  virtual EndPoint* BulkOutEndPoint() = 0;
  // Releases the device; false with the system's words when it refuses. May be called again.
  virtual bool Close(std::string& failure) = 0;
};

class Provider {
 public:
  virtual ~Provider() = default;
  // Modules present now. With `only` empty the provider's own table of module IDs decides what is
  // a module; otherwise devices with one of these IDs are.
  virtual std::uint8_t CountDevices(std::span<const UsbId> only) = 0;
  // Opens the module with that index of a fresh count; nullptr with `failure` saying why.
  virtual std::unique_ptr<Device> Open(std::span<const UsbId> only, std::uint8_t index,
                                       OpenFailure& failure) = 0;
  // Attached devices that look like modules but were not counted (ID, product, serial), for the
  // message shown when no module is found; empty where the provider cannot tell.
  virtual std::vector<std::string> CandidateDescriptions(std::span<const UsbId> /*only*/) { return {}; }
  // Waits up to `ms` of the provider's time (the simulated module's passes faster) for devices to
  // arrive; true when a notice of one came earlier. A provider without notices only waits: the
  // caller counts again either way.
  virtual bool AwaitArrival(std::uint32_t ms);
};

// The provider of the program's backend (the vendor driver, libusb, or the simulated module).
// Raises std::invalid_argument, with the reason, when the backend's configuration is malformed
// (the simulated module's RNGACQ_SIM).
std::unique_ptr<Provider> MakeDefaultProvider();

}  // namespace access

// Keeps `what` alive until the process ends: the one home of memory a driver may still write
// into after its owner is done with it (transfers that never ended, even after an abort).
void KeepUntilExit(std::shared_ptr<const void> what);

}  // namespace usb
