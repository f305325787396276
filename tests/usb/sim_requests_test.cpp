// The simulated module's answers to control transfers: the descriptors it has, and a refusal
// for anything else, so that the program's handling of refusals is tried against it.
#include <gtest/gtest.h>

#include <vector>

#include "drivers/sim/sim_driver.h"
#include "usb/transfer_request.h"

namespace {

struct Opened {
  explicit Opened(sim::Options options = {}) : driver(std::move(options)) {
    handle = driver.Open("sim:0", failure);
  }
  ~Opened() { driver.Close(handle); }
  sim::SimDriver driver;
  usb::OpenFailure failure;
  usb::Handle handle = usb::kInvalidHandle;
};

// A control request of `type` and `request` for descriptor `value`, with room for `length` bytes.
std::vector<std::uint8_t> Control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                  std::uint16_t length) {
  std::vector<std::uint8_t> bytes(usb::kTransferRequestSize + length);
  usb::EncodeTransferRequest({.bmRequestType = type,
                              .bRequest = request,
                              .wValue = value,
                              .wLength = length,
                              .TimeoutSeconds = 5,
                              .DataOffset = usb::kTransferRequestSize,
                              .DataLength = length},
                             bytes);
  return bytes;
}

TEST(SimulatedControl, AnswersGetDescriptorOfWhatItHas) {
  Opened module;
  ASSERT_NE(module.handle, usb::kInvalidHandle);
  std::vector<std::uint8_t> request = Control(0x80, 6, 0x0100, 18);
  std::uint32_t returned = 0;
  ASSERT_TRUE(module.driver.Request(module.handle, usb::kRequestControlTransfer, request.data(),
                                    static_cast<std::uint32_t>(request.size()), request.data(),
                                    static_cast<std::uint32_t>(request.size()), returned));
  EXPECT_EQ(returned, 38u + 18u);
  EXPECT_EQ(std::vector<std::uint8_t>(request.begin() + 38, request.end()), sim::DefaultDeviceDescriptor());

  // Asked for none of its bytes, the answer is the header alone.
  std::vector<std::uint8_t> nothing = Control(0x80, 6, 0x0100, 0);
  ASSERT_EQ(nothing.size(), 38u);
  ASSERT_TRUE(module.driver.Request(module.handle, usb::kRequestControlTransfer, nothing.data(), 38,
                                    nothing.data(), 38, returned));
  EXPECT_EQ(returned, 38u);
}

TEST(SimulatedControl, RefusesEverythingElse) {
  struct Row {
    const char* name;
    std::vector<std::uint8_t> request;
    std::uint32_t in_size, out_size;
  };
  const std::vector<std::uint8_t> device = Control(0x80, 6, 0x0100, 18);
  const Row rows[] = {
      {"a request shorter than its header", device, 37, 56},
      {"an answer shorter than its header", device, 56, 37},
      {"a request to the device that is not GET_DESCRIPTOR", Control(0x80, 0, 0, 2), 40, 40},
      {"GET_DESCRIPTOR as a vendor request", Control(0xC0, 6, 0x0100, 18), 56, 56},
      {"GET_DESCRIPTOR sent to the device", Control(0x00, 6, 0x0100, 18), 56, 56},
      {"a descriptor type it has not", Control(0x80, 6, 0x0F00, 18), 56, 56},
      {"a string it has not", Control(0x80, 6, 0x0304, 18), 56, 56},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Opened module;
    std::vector<std::uint8_t> bytes = row.request;
    bytes.resize(56);
    std::uint32_t returned = 7;
    EXPECT_FALSE(module.driver.Request(module.handle, usb::kRequestControlTransfer, bytes.data(), row.in_size,
                                       bytes.data(), row.out_size, returned));
  }
}

// An overlapped request the simulation refuses is complete at once, with its error, having
// moved nothing.
TEST(SimulatedControl, ARefusedOverlappedRequestMovedNothing) {
  Opened module;
  std::vector<std::uint8_t> header(usb::kTransferRequestSize), data(64);
  usb::CompletionRecord record{module.driver.CreateEvent(), nullptr};
  const std::uint32_t refused = module.driver.RequestOverlapped(
      module.handle + 100, usb::kRequestDirectTransfer, header.data(), 38, data.data(), 64, record);
  EXPECT_NE(refused, usb::kErrorIoPending);
  EXPECT_NE(refused, usb::kErrorSuccess);
  const usb::OverlappedOutcome outcome = module.driver.Collect(module.handle, record);
  EXPECT_TRUE(outcome.complete);
  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.transferred, 0u);
  EXPECT_EQ(outcome.error, refused);
}

// A silent module holds what is sent to it until the pipe is aborted, which ends it.
TEST(SimulatedControl, ASilentModuleHoldsASendUntilItsPipeIsAborted) {
  sim::Options options;
  options.modules[0].faults.silent = true;
  Opened module(options);
  std::vector<std::uint8_t> header(usb::kTransferRequestSize), command(64);
  usb::EncodeTransferRequest({.EndpointAddress = 0x02}, header);
  usb::CompletionRecord record{module.driver.CreateEvent(), nullptr};
  ASSERT_EQ(module.driver.RequestOverlapped(module.handle, usb::kRequestDirectTransfer, header.data(), 38,
                                            command.data(), 64, record),
            usb::kErrorIoPending);
  EXPECT_EQ(record.event->Wait(0), usb::WaitResult::TimedOut);
  const std::vector<sim::RecordedRequest> requests = module.driver.Requests();
  ASSERT_FALSE(requests.empty());
  const sim::RecordedRequest& sent = requests.back();
  EXPECT_EQ(sent.code, usb::kRequestDirectTransfer) << "the send is recorded as it reached the driver";
  EXPECT_TRUE(sent.overlapped);
  EXPECT_EQ(sent.output_size, 64u);
  std::uint8_t pipe = 0x02;
  std::uint32_t returned = 0;
  ASSERT_TRUE(module.driver.Request(module.handle, usb::kRequestAbortPipe, &pipe, 1, nullptr, 0, returned));
  ASSERT_EQ(record.event->Wait(0), usb::WaitResult::Signalled);
  const usb::OverlappedOutcome aborted = module.driver.Collect(module.handle, record);
  EXPECT_TRUE(aborted.complete);
  EXPECT_FALSE(aborted.success);
  EXPECT_EQ(aborted.error, usb::kErrorOperationAborted);
}

}  // namespace
