// The block request, and the exchange under it, against a module whose answer bytes and
// transfer behaviour come from the fuzz input: each pipe completes at once, completes later,
// never completes until aborted, or refuses; the send may come up short. Results must be one of
// the documented values, the data handed on must be exactly the answer's data bytes, and a
// failed request must leave the previous block alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "console/catalogue.h"
#include "devicelink/block_request.h"
#include "devicelink/device_link.h"
#include "devicelink/exchange.h"
#include "fuzz_support.h"
#include "protocol/fake_pipe_driver.h"
#include "usb/endpoint.h"
#include "usb/vendor_provider.h"

namespace {

using testing_support::FakePipeDriver;
using testing_support::PipeBehaviour;

constexpr std::array<std::uint8_t, 7> kBulkIn{7, 5, 0x86, 2, 0x00, 0x02, 0};
constexpr std::array<std::uint8_t, 7> kBulkOut{7, 5, 0x02, 2, 0x00, 0x02, 0};

PipeBehaviour ConsumeBehaviour(FuzzedDataProvider& input) {
  constexpr PipeBehaviour kAll[] = {PipeBehaviour::Complete, PipeBehaviour::Pending, PipeBehaviour::Never,
                                    PipeBehaviour::Refused};
  return input.PickValueInArray(kAll);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietConsole();
  console::SetCataloguePath("/nonexistent/lang.INI");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FakePipeDriver driver;
  driver.in.behaviour = ConsumeBehaviour(input);
  driver.out.behaviour = ConsumeBehaviour(input);
  driver.out.shortfall = input.ConsumeProbability<float>() < 0.1f ? input.ConsumeIntegral<std::uint8_t>() : 0;
  driver.fail_event_number =
      input.ConsumeProbability<float>() < 0.05f ? input.ConsumeIntegralInRange(1, 2) : 0;

  usb::UsbBulkEndPoint in{driver, 1, kBulkIn};
  usb::UsbBulkEndPoint out{driver, 1, kBulkOut};
  usb::VendorEndPoint in_access{in}, out_access{out};
  in.DirectIo = input.ConsumeBool() ? 1 : 0;
  out.DirectIo = input.ConsumeBool() ? 1 : 0;
  devicelink::DeviceLinkState link;
  link.module = core::Module::OverEndPoints(in_access, out_access, input.ConsumeBool() ? 2048 : 64);

  const bool whole_request = input.ConsumeProbability<float>() < 0.85f;
  if (whole_request) {
    link.module->SetMode(input.ConsumeBool() ? 7 : 3);
    const std::uint32_t length = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 1984)
                                                     : input.ConsumeIntegral<std::uint32_t>();
    const int is_last = input.ConsumeBool() ? 1 : 0;
    driver.in.answer = input.ConsumeRemainingBytes<std::uint8_t>();

    auto& block = link.BlockBuffer;
    block.fill(0xA5);
    const std::int32_t result = devicelink::RequestBlock(link, length, is_last);
    fuzz::Check(result == 0 || result == 1 || result == 403 || result == 408, "documented result");
    fuzz::Check((result == 1) == (length > devicelink::kBlockSize),
                "only an oversized request is refused at once");
    if (result == 0) {
      fuzz::Check(driver.in.answer.size() >= 48 + std::size_t{length},
                  "success means the whole answer arrived");
      fuzz::Check(std::equal(block.begin(), block.begin() + length, driver.in.answer.begin() + 48),
                  "the block is the answer's data");
      fuzz::Check(std::all_of(block.begin() + length, block.end(), [](std::uint8_t b) { return b == 0xA5; }),
                  "nothing past the length is written");
    } else {
      fuzz::Check(std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0xA5; }),
                  "a failed request leaves the block alone");
    }
  } else {
    // The exchange on its own, with sizes the block request never uses.
    const auto command_size = input.ConsumeIntegralInRange<std::int32_t>(-32, core::kExchangeBufferSize + 32);
    const auto answer_length =
        input.ConsumeIntegralInRange<std::int32_t>(-32, core::kExchangeBufferSize + 32);
    static std::array<std::uint8_t, core::kExchangeBufferSize + 64> command{};
    static std::array<std::uint8_t, core::kExchangeBufferSize + 64> answer{};
    const std::vector<std::uint8_t> head = input.ConsumeBytes<std::uint8_t>(64);
    std::copy(head.begin(), head.end(), command.begin());
    driver.in.answer = input.ConsumeRemainingBytes<std::uint8_t>();
    const std::int32_t result =
        devicelink::ExchangeFrames(link, command.data(), command_size, answer_length, answer.data());
    fuzz::Check(result >= 0 && result <= 5 + 16 + 32, "exchange result in range");
  }

  fuzz::Check(in.StrandedTransfers + out.StrandedTransfers == 0, "no transfer is left with the driver");
  for (const auto& pending : driver.pending) fuzz::Check(pending->complete, "every transfer ended");
  link.module.reset();
  return 0;
}
