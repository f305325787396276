// A scripted driver for the exchange tests: each pipe is told how its next transfer behaves, and
// every event wait is recorded instead of taking real time.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "drivers/sim/sim_driver.h"
#include "usb/endpoint.h"
#include "usb/transfer_request.h"

namespace testing_support {

// An event that never blocks: it reports Signalled when set, TimedOut otherwise, and records
// the time each wait asked for.
struct RecordingEvent final : usb::Event {
  explicit RecordingEvent(std::vector<std::uint32_t>& log) : waits(log) {}
  usb::WaitResult Wait(std::uint32_t ms) override {
    waits.push_back(ms);
    return std::exchange(signalled, false) ? usb::WaitResult::Signalled : usb::WaitResult::TimedOut;
  }
  void Signal() override { signalled = true; }
  std::vector<std::uint32_t>& waits;
  bool signalled = false;
};

enum class PipeBehaviour {
  Complete,  // done at once (error 0)
  Pending,   // 997, then completes inside the call (its event is signalled)
  Never,     // 997, ends only through an abort
  Refused,   // error 31 at once
};

struct PipeScript {
  PipeBehaviour behaviour = PipeBehaviour::Complete;
  std::vector<std::uint8_t> answer;  // IN: the bytes delivered (cut to the requested length)
  std::uint32_t shortfall = 0;       // OUT: bytes fewer than sent
};

class FakePipeDriver final : public sim::SimDriver {
 public:
  struct Pending final : usb::PendingRequest, usb::OverlappedOutcome {
    std::shared_ptr<usb::Event> event;
    std::uint8_t endpoint = 0;
  };

  PipeScript in, out;
  std::vector<std::uint8_t> sent;     // the last command's bytes
  std::uint32_t requested_in = 0;     // the last receive's length
  std::vector<std::uint8_t> aborted;  // endpoint addresses aborted, in order
  std::vector<std::uint32_t> waits;   // every event wait's time
  int events_created = 0;
  int fail_event_number = 0;  // the Nth CreateEvent fails (0: none)
  std::vector<std::shared_ptr<Pending>> pending;

  bool Request(usb::Handle, std::uint32_t code, const std::uint8_t* input, std::uint32_t, std::uint8_t*,
               std::uint32_t, std::uint32_t& returned) override {
    returned = 0;
    if (code != usb::kRequestAbortPipe) return false;
    aborted.push_back(input[0]);
    for (auto& p : pending) {
      if (!p->complete && p->endpoint == input[0]) {
        p->complete = true;  // unsuccessful, nothing moved
        p->event->Signal();
      }
    }
    return true;
  }

  std::uint32_t RequestOverlapped(usb::Handle, std::uint32_t code, const std::uint8_t* input, std::uint32_t,
                                  std::uint8_t* output, std::uint32_t output_size,
                                  usb::CompletionRecord& record) override {
    const usb::TransferRequest header = usb::DecodeTransferRequest({input, usb::kTransferRequestSize});
    const bool is_in = (header.EndpointAddress & 0x80) != 0;
    const bool buffered = code == usb::kRequestBufferedTransfer;
    const std::uint32_t offset = buffered ? header.DataOffset : 0;
    const std::uint32_t length = buffered ? header.DataLength : output_size;

    auto request = std::make_shared<Pending>();
    request->event = record.event;
    request->endpoint = header.EndpointAddress;
    record.pending = request;
    pending.push_back(request);

    const PipeScript& script = is_in ? in : out;
    const bool ends =
        script.behaviour == PipeBehaviour::Complete || script.behaviour == PipeBehaviour::Pending;
    std::uint32_t moved = length - std::min(length, script.shortfall);
    if (is_in) {
      requested_in = length;
      moved = static_cast<std::uint32_t>(std::min<std::size_t>(script.answer.size(), length));
      if (ends) std::copy_n(script.answer.begin(), moved, output + offset);
    } else {
      sent.assign(output + offset, output + offset + length);
    }
    if (script.behaviour == PipeBehaviour::Never) return usb::kErrorIoPending;
    request->complete = true;
    if (!ends) return usb::kErrorGenFailure;  // refused
    request->success = true;
    request->transferred = moved + offset;
    if (script.behaviour == PipeBehaviour::Complete) return 0;
    record.event->Signal();
    return usb::kErrorIoPending;
  }

  usb::OverlappedOutcome Collect(usb::Handle, usb::CompletionRecord& record) override {
    const auto& p = static_cast<const Pending&>(*record.pending);  // every transfer reached the driver
    return {p.complete, p.success, p.transferred, p.success ? 0u : usb::kErrorOperationAborted};
  }

  std::shared_ptr<usb::Event> CreateEvent() override {
    if (++events_created == fail_event_number) return nullptr;
    return std::make_shared<RecordingEvent>(waits);
  }
};

}  // namespace testing_support
