// The acquisition core: one object per opened module. It owns the device, its bulk endpoints,
// the exchange buffers, the generator mode and the selection, and reports every outcome as a
// value. It never prints, never reads keys and needs no catalogue; the program and the C
// library are its clients.
//
// Several modules may be open at once; each Module is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frames.h"
#include "usb/access.h"

namespace core {

// The values of the C interface's RNGACQ_ERROR_... constants.
enum class Error : int {
  None = 0,
  NoModule = -1,
  SeveralModules = -2,
  NoMatch = -3,
  AccessDenied = -4,
  OpenFailed = -5,
  NoEndPoints = -6,
  Timeout = -7,
  ShortTransfer = -8,
  WrongStatus = -9,
  ModuleGone = -10,
  Unusable = -11,
  InvalidArgument = -12,
  NoMemory = -13,
  ReleaseFailed = -14,
  Internal = -15,
};
// The text of an error value; a fixed text for values it does not know.
const char* ErrorText(int error);

using protocol::kBlockSize;
using protocol::kFrameSize;
using protocol::kModeRaw;
using protocol::kModeRnd;
inline constexpr std::int32_t kExchangeBufferSize = 32768;

// What the device says of itself, and its vendor and product ID (from the device descriptor).
struct ModuleInfo : usb::access::Identity {
  usb::UsbId id{0, 0};
};

// Which module to open. Only: exactly one may be present. `ids`, when not empty, replaces the
// backend's table of module IDs (the program's /DEVICE=, the library's id=).
// The longest serial number a selector may name (the device's string area holds 128 UTF-16 units).
inline constexpr std::size_t kMaxSerialLength = 127;

struct Selector {
  enum class Kind { Only, Serial, Index } kind = Kind::Only;
  std::vector<usb::UsbId> ids;
  std::string serial;
  std::size_t index = 0;
};
// "" (Only), "serial=TEXT", "id=vvvv:pppp", "index=N"; nothing for anything else.
std::optional<Selector> ParseSelector(std::string_view text);

// What Open found, for a client that explains the outcome.
struct OpenReport {
  std::uint8_t present = 0;             // modules listed
  std::vector<std::string> candidates;  // none listed: devices that may be modules
  std::string reason;                   // open failed: why, as far as known
  bool identified = false;              // opened: `info` holds its identification
  ModuleInfo info;
  bool bulk_in_missing = false;  // NoEndPoints: which one
  std::string release_failure;   // releasing the failed module failed too
};

// One exchange's outcome beyond its error value. `code` is the program's classic result: 0, 1
// refused before sending, 2 no event, 4 send failed, 5 receive failed, plus 16 short send and
// 32 short answer.
struct ExchangeReport {
  std::int32_t code = 0;
  bool send_timed_out = false;
  bool receive_timed_out = false;
  bool gone = false;  // a transfer was refused at once: nothing waited, the module is not there
  bool short_send = false;
  bool short_answer = false;
};

struct BlockReport {
  ExchangeReport exchange;
  std::uint8_t status = 0;   // the answer's status nibble
  std::uint32_t frames = 0;  // data frames requested
  // The last block's end frame: its nibble should be D; the index words are for diagnosis.
  bool end_checked = false;
  std::uint8_t end = 0;
  std::uint16_t index_a = 0;
  std::uint16_t index_b = 0;
};

class Module {
 public:
  // Finds, opens and identifies the selected module through `provider` (which outlives the
  // module) and takes its bulk endpoints. On any error `module` stays empty and whatever was
  // opened is released.
  static Error Open(usb::access::Provider& provider, const Selector& selector,
                    std::unique_ptr<Module>& module, OpenReport& report);

  // A module over endpoints the caller owns and keeps alive, with no device behind it: the seam
  // through which tests and benchmarks drive exchanges over a scripted driver.
  static std::unique_ptr<Module> OverEndPoints(usb::access::EndPoint& in, usb::access::EndPoint& out,
                                               std::int32_t transfer_unit);

  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Releases the module; ReleaseFailed with the system's words in `failure`. Idempotent.
  Error Close(std::string* failure = nullptr);

  const ModuleInfo& Info() const { return info_; }
  std::uint8_t Mode() const { return mode_; }
  Error SetMode(std::uint8_t mode);
  std::int32_t TransferUnit() const { return transfer_unit_; }
  usb::access::EndPoint* BulkIn() const { return in_; }
  usb::access::EndPoint* BulkOut() const { return out_; }

  // One exchange: `size` bytes of whole frames out, `answer_length` bytes in, both transfers in
  // flight together. A closing frame is added when the answer would not fill whole transfer
  // units, and then the answer is 16 bytes longer. The answer stays in Answer(). `meanwhile`
  // runs once both transfers are under way, so that the caller's own work overlaps the bus time;
  // an exception it throws is passed on after the transfers were waited for.
  Error Exchange(const std::uint8_t* command, std::int32_t size, std::int32_t answer_length,
                 ExchangeReport& report, const std::function<void()>& meanwhile = {});
  std::span<const std::uint8_t> Answer() const;

  // Requests `length` (at most kBlockSize) bytes in the current mode into `data`, which is
  // written only after the transfers ended: `meanwhile` may still read what `data` held before.
  Error RequestBlock(std::uint32_t length, bool is_last, std::uint8_t* data, BlockReport& report,
                     const std::function<void()>& meanwhile = {});

  // `length` bytes as whole blocks, then the rest as the last block; `done` counts the bytes
  // delivered, also when an error ends the read.
  Error Read(std::uint8_t* data, std::size_t length, std::size_t& done);

 private:
  Module() = default;
  static Error OpenInto(usb::access::Provider& provider, const Selector& selector,
                        std::unique_ptr<Module>& module, OpenReport& report);
  bool Stranded() const;

  struct Buffers {
    alignas(64) std::array<std::uint8_t, kExchangeBufferSize> send;
    alignas(64) std::array<std::uint8_t, kExchangeBufferSize> receive;
  };
  std::unique_ptr<usb::access::Device> device_;
  usb::access::EndPoint* in_ = nullptr;
  usb::access::EndPoint* out_ = nullptr;
  std::int32_t transfer_unit_ = 0;
  std::uint8_t mode_ = kModeRnd;
  std::shared_ptr<Buffers> buffers_;
  std::int32_t answer_size_ = 0;
  std::array<std::uint8_t, 5 * kFrameSize> command_{};  // the block request's frames
  ModuleInfo info_;
};

// Every attached module, in the order index= counts; a module that cannot be opened is listed
// with its place kept and no identification.
Error ListModules(usb::access::Provider& provider, std::vector<ModuleInfo>& modules,
                  std::span<const usb::UsbId> ids = {});

// "a.b.c.d" of a packed driver version.
std::string VersionText(std::uint32_t version);

}  // namespace core
