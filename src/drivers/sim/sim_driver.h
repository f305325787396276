// The simulated backend: simulated random-number modules behind the driver interface. Each
// module answers the command frames exactly as the real module's answer layout says, with data
// frames from a seeded generator so that tests can predict every byte. Faults can be injected
// for every failure the program must handle.
//
// Modules are listed only for usb::kModuleInterfaceGuid, as paths "sim:<index>" (narrowed by
// the identifiers a caller selects). An OUT transfer hands its command to the module, which reads it as
// 16-byte frames and queues one 16-byte answer frame per command frame, the data frames right
// behind the count frame's answer. An IN transfer takes min(waiting, requested) answer bytes,
// and stays pending (997) while none are waiting. Abort (0x220044) ends the pipe's pending
// transfers with 995; closing a handle ends its transfers the same way. After a disconnect
// every request fails, overlapped ones with 1167, until the module is plugged in again (a fault).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/sim/module_model.h"
#include "usb/driver.h"

namespace sim {

struct Faults {
  bool open_fails = false;                    // the path enumerates but cannot be opened
  bool no_bulk_in = false;                    // the interface lacks the bulk IN endpoint
  bool no_bulk_out = false;                   // the interface lacks the bulk OUT endpoint
  bool strings_unreadable = false;            // string descriptor requests fail
  bool config_unreadable = false;             // configuration descriptor requests fail
  std::optional<std::uint8_t> status_nibble;  // answer byte 31 low nibble instead of the mode
  std::optional<std::uint8_t> end_nibble;     // end-frame low nibble instead of 0xD
  std::uint32_t short_answer = 0;             // this many bytes fewer in every answer
  std::uint32_t short_send = 0;               // OUT transfers report this many bytes fewer (the
                                              // module still reads the whole command)
  bool silent = false;             // IN and OUT transfers stay pending until aborted; nothing answered
  bool send_pending = false;       // the module answers, but OUT transfers stay pending until aborted
  bool abort_ineffective = false;  // abort is accepted but pending transfers never end
  std::optional<std::uint32_t> silent_after_blocks;      // goes silent after N answered requests
  std::optional<std::uint32_t> disconnect_after_blocks;  // unplugged after N answered requests
  // Plugged in again this many milliseconds after the unplug (shortened by the time divisor), as
  // a module just powered up: its stream starts anew from its seed plus kReplugSeedStep per
  // replug, and disconnect_after counts afresh. Handles opened before stay dead.
  std::optional<std::uint32_t> replug_after_ms;
  std::string replug_serial;                 // the module comes back with this serial number (empty: its own)
  bool refuse_requests = false;              // overlapped requests are refused at once (error 31)
  std::optional<std::uint64_t> stuck_after;  // data faults: see DataFaults
  std::optional<std::uint32_t> bias_permille;
  std::optional<std::uint32_t> repeat_after;
};

struct ModuleConfig {
  // The device descriptor (18 bytes) and the whole configuration descriptors; empty: the
  // defaults, a module with one vendor-specific interface, bulk IN 0x86 and bulk OUT 0x02 of
  // 512-byte packets (64 at full speed), shaped by the no_bulk_in/no_bulk_out faults. Given
  // descriptors are served as they stand.
  std::vector<std::uint8_t> device_descriptor;
  std::vector<std::vector<std::uint8_t>> config_descriptors;
  std::vector<std::uint16_t> languages{0x0409};
  std::string manufacturer = "rngacq project";
  std::string product = "Simulated random-number module";
  std::string serial = "SIM-00000001";
  std::uint32_t driver_version = 0x01050500;
  bool high_speed = true;
  std::uint8_t alt_setting = 0;  // answer of the alternate-setting query
  std::uint64_t seed = 1;        // seed of the data stream
  Faults faults;
};

// What a replugged module's seed moves on by, per replug.
inline constexpr std::uint64_t kReplugSeedStep = 1000;

// The default module's descriptors, for tests that start from them and change a byte.
std::vector<std::uint8_t> DefaultDeviceDescriptor();
std::vector<std::uint8_t> DefaultConfigDescriptor();

// One request as it reached the driver, for tests that check the exact bytes.
struct RecordedRequest {
  std::uint32_t code = 0;
  bool overlapped = false;
  std::vector<std::uint8_t> input;
  std::uint32_t output_size = 0;
};

struct Options {
  std::vector<ModuleConfig> modules{ModuleConfig{}};
  bool list_unavailable = false;      // no device list can be obtained at all
  bool complete_from_worker = false;  // pending transfers end on a worker thread, not in the call
  std::uint32_t latency_us = 0;       // on the worker: the answer's delay after its command (else 1 ms)
  std::uint32_t time_divisor = 1;     // every event wait is shortened by this factor
};

// Parses the RNGACQ_SIM text ("key=value,key" list; see README) into options. Unknown keys and
// bad values are an error, reported through `error`. devices=N makes N equal modules whose
// serial numbers count up from SIM-00000001.
std::optional<Options> ParseOptions(std::string_view text, std::string& error);

// Not final: tests derive from it to inject failures of the calls it never fails itself.
class SimDriver : public usb::Driver {
 public:
  explicit SimDriver(Options options = {});
  ~SimDriver() override;

  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid& guid,
                                               std::span<const usb::UsbId> only) override;
  usb::Handle Open(const std::string& path, usb::OpenFailure& failure) override;
  bool Close(usb::Handle handle) override;
  bool Request(usb::Handle handle, std::uint32_t code, const std::uint8_t* in, std::uint32_t in_size,
               std::uint8_t* out, std::uint32_t out_size, std::uint32_t& returned) override;
  std::uint32_t RequestOverlapped(usb::Handle handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  usb::CompletionRecord& record) override;
  usb::OverlappedOutcome Collect(usb::Handle handle, usb::CompletionRecord& record) override;
  std::shared_ptr<usb::Event> CreateEvent() override;
  // Waits the time shortened by the divisor, less when an unplugged module comes back sooner.
  bool AwaitArrival(std::uint32_t ms) override;

  // Every request made so far, in order (recording is on by default; benchmarks turn it off).
  std::vector<RecordedRequest> Requests() const;
  void SetRecording(bool on);
  // Blocks answered so far by module `index`.
  std::uint32_t AnsweredRequests(std::size_t index = 0) const;
  // Open handles (a leak check for tests).
  std::size_t OpenHandles() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
