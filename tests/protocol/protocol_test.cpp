// The bulk exchange and the block request over a scripted driver (the bytes that go out, the
// waits, the result arithmetic, the checks of the module's answer), and the module's opening.
#include <gtest/gtest.h>

#include <array>
#include <new>
#include <span>
#include <vector>

#include "console/catalogue.h"
#include "devicelink/block_request.h"
#include "devicelink/device_link.h"
#include "devicelink/exchange.h"
#include "drivers/sim/sim_driver.h"
#include "protocol/fake_pipe_driver.h"
#include "support/test_support.h"
#include "usb/vendor_provider.h"

namespace {

using testing_support::PipeBehaviour;
using testing_support::SameBytes;

constexpr std::array<std::uint8_t, 7> kBulkIn{7, 5, 0x86, 2, 0x00, 0x02, 0};
constexpr std::array<std::uint8_t, 7> kBulkOut{7, 5, 0x02, 2, 0x00, 0x02, 0};

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(dir / "lang.INI",
                               "[F006]\nS009=send timed out\nS010=receive timed out\nS015=bad status\n"
                               "S001=no device object\nS016=last block: ;\nS017=end status\nS021=gone\n");
    console::SetCataloguePath(dir / "lang.INI");
    link.module = core::Module::OverEndPoints(in_access, out_access, 2048);
  }
  void TearDown() override { link.module.reset(); }

  // An answer of `length` bytes holding status 0xA<mode>, the indices and an end frame.
  static std::vector<std::uint8_t> Answer(std::size_t length, std::uint8_t status, std::uint32_t n,
                                          std::uint8_t end) {
    std::vector<std::uint8_t> answer(length);
    for (std::size_t i = 0; i < length; ++i) answer[i] = static_cast<std::uint8_t>(i * 7 + 1);
    answer[31] = status;
    answer[44] = 1, answer[45] = 2, answer[46] = 3, answer[47] = 4;
    answer[63 + 16 * n] = end;
    return answer;
  }

  testing_support::ScratchDir dir;
  testing_support::CapturedConsole console;
  testing_support::FakePipeDriver driver;
  usb::UsbBulkEndPoint in{driver, 1, kBulkIn}, out{driver, 1, kBulkOut};
  usb::VendorEndPoint in_access{in}, out_access{out};
  devicelink::DeviceLinkState link;
};

std::vector<std::uint8_t> Frames(std::initializer_list<std::uint8_t> flags) {
  std::vector<std::uint8_t> command;
  for (const std::uint8_t flag : flags)
    for (const std::uint8_t b : protocol::CommandFrame(protocol::Signature::C0DE, flag, 0, 0))
      command.push_back(b);
  return command;
}

TEST_F(Exchange, RefusesCommandsThatAreNotWholeFrames) {
  std::uint8_t answer[64] = {};
  const auto command = Frames({0});
  const std::int32_t empty = devicelink::ExchangeFrames(link, command.data(), 0, 16, answer);
  const std::int32_t one_byte = devicelink::ExchangeFrames(link, command.data(), 1, 16, answer);
  const std::int32_t half_frame = devicelink::ExchangeFrames(link, command.data(), 8, 16, answer);
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(one_byte, 1);
  EXPECT_EQ(half_frame, 1);
  EXPECT_EQ(driver.events_created, 0);

  driver.fail_event_number = 1;
  EXPECT_EQ(devicelink::ExchangeFrames(link, command.data(), 16, 16, answer), 1);
  driver.fail_event_number = 3;  // the receive event of the next call
  EXPECT_EQ(devicelink::ExchangeFrames(link, command.data(), 16, 16, answer), 2);
  EXPECT_TRUE(driver.sent.empty());
}

TEST_F(Exchange, AppendsTheClosingFrameOnlyWhenTheAnswerIsNotWholeUnits) {
  std::vector<std::uint8_t> answer(256, 0xEE);
  driver.in.answer = Answer(176, 0xA7, 1, 0x2D);
  auto command = Frames({0, 0x04, 0, 0x10, 0x80});
  EXPECT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 160, answer.data()), 0);
  EXPECT_TRUE(SameBytes(driver.sent, command));
  EXPECT_EQ(driver.requested_in, 176u);
  EXPECT_TRUE(SameBytes(std::span(answer).first(176), driver.in.answer));

  // Whole units of 64; a command that closes itself; a last frame with the closing flag but
  // another signature does not close it.
  auto spoiled = command;
  spoiled[65] ^= 0xFF;
  // Each case: the unit, the command and its length, the answer's length; the bytes sent, and asked for.
  struct Case {
    const char* name;
    int unit;
    const std::uint8_t* frames;
    int length, answer_length;
    std::size_t sent;
    std::uint32_t requested;
  };
  for (const Case& c : {
           Case{.name = "whole units of 64",
          .unit = 64,
          .frames = command.data(),
          .length = 64,
          .answer_length = 128,
          .sent = 64,
          .requested = 128},
           Case{.name = "a command that closes itself",
           .unit = 2048,
           .frames = command.data(),
           .length = 80,
           .answer_length = 160,
           .sent = 80,
           .requested = 160},
           Case{.name = "the closing flag under another signature",
           .unit = 2048,
           .frames = spoiled.data(),
           .length = 80,
           .answer_length = 160,
           .sent = 96,
           .requested = 176},
       }) {
    SCOPED_TRACE(c.name);
    link.module = core::Module::OverEndPoints(in_access, out_access, c.unit);
    EXPECT_EQ(devicelink::ExchangeFrames(link, c.frames, c.length, c.answer_length, answer.data()), 0);
    EXPECT_EQ(driver.sent.size(), c.sent);
    EXPECT_EQ(driver.requested_in, c.requested);
  }
}

TEST_F(Exchange, TimeOutsAbortWaitTheGraceAndStillCollectBoth) {
  std::vector<std::uint8_t> answer(2048 + 16, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  using Waits = std::vector<std::uint32_t>;
  // A transfer that never ends waits its grace after the abort; a refused one (an unplugged
  // module) is aborted without it and said once; the answer that did arrive is not handed out.
  for (const PipeBehaviour behaviour : {PipeBehaviour::Never, PipeBehaviour::Refused}) {
    SCOPED_TRACE(behaviour == PipeBehaviour::Never ? "transfers that never end" : "refused transfers");
    driver.waits.clear();
    driver.aborted.clear();
    console.out.clear();
    driver.in.behaviour = driver.out.behaviour = behaviour;
    EXPECT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 2048, answer.data()), 5 + 16 + 32);
    const bool never = behaviour == PipeBehaviour::Never;
    EXPECT_EQ(driver.waits, (never ? Waits{9000, 2000, 9000, 2000} : Waits{}));
    EXPECT_EQ(driver.aborted, (std::vector<std::uint8_t>{0x02, 0x86}));
    EXPECT_EQ(console.out, never ? "\nsend timed out\nreceive timed out" : "\ngone");
  }
}

TEST_F(Exchange, BlockRequestFramesAreByteExact) {
  driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, 0x2D);
  ASSERT_EQ(devicelink::RequestBlock(link, 1000, 1), 0);
  const std::vector<std::uint8_t> expected = {
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0x03, 0x00,  //
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0x00, 0x07,  //
      0x13, 0x37, 0xDA, 0x7A, 0, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0x00, 0x3F,  //
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0x00, 0x00,  //
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0x00, 0x00};
  EXPECT_TRUE(SameBytes(driver.sent, expected));
  EXPECT_EQ(driver.requested_in, 16u * 63 + 80);
  // The block is the answer's data, after its three header frames.
  EXPECT_TRUE(
      SameBytes(std::span(link.BlockBuffer).first(1000), std::span(driver.in.answer).subspan(48, 1000)));

  // Frames asked for, and whether a closing frame follows: only a full last block needs none.
  struct Case {
    std::uint32_t length, frames;
    int last;  // whether the block is the record's last
    std::size_t sent;
  };
  const Case cases[] = {{.length = 1984, .frames = 124, .last = 0, .sent = 64},
                        {.length = 1983, .frames = 124, .last = 1, .sent = 80},
                        {.length = 0, .frames = 0, .last = 1, .sent = 80},
                        {.length = 1, .frames = 1, .last = 1, .sent = 80},
                        {.length = 16, .frames = 1, .last = 1, .sent = 80},
                        {.length = 17, .frames = 2, .last = 1, .sent = 80}};
  const std::size_t frame_count_at = 2 * 16 + 15;  // the data frame's last byte
  for (const auto& [length, frames, last, sent] : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << length);
    const std::uint32_t answer = 16 * frames + 48 + (sent == 80 ? 32u : 16u);
    driver.in.answer = Answer(answer, 0xA7, frames, 0x2D);
    ASSERT_EQ(devicelink::RequestBlock(link, length, last), 0);
    ASSERT_EQ(driver.sent.size(), sent);
    EXPECT_EQ(driver.sent[frame_count_at], frames & 0xFF) << "the frames asked for";
    EXPECT_EQ(driver.requested_in, answer);
  }
  driver.sent.clear();
  EXPECT_EQ(devicelink::RequestBlock(link, 1985, 0), 1);
  EXPECT_TRUE(driver.sent.empty());
}

TEST_F(Exchange, BlockRequestChecksStatusAndEndFrame) {
  driver.in.answer = Answer(2048, 0xA7, 124, 0x2D);
  ASSERT_EQ(devicelink::RequestBlock(link, 1984, 0), 0);
  const auto previous = link.BlockBuffer;

  // A status for another mode fails and leaves the previous block in place; all four bits count.
  link.module->SetMode(3);
  for (const std::uint8_t status : {std::uint8_t{0x57}, std::uint8_t{0x5B}}) {
    driver.in.answer = Answer(2048, status, 124, 0x2D);
    console.out.clear();
    EXPECT_EQ(devicelink::RequestBlock(link, 1984, 0), 408) << "status " << int{status};
    EXPECT_TRUE(SameBytes(link.BlockBuffer, previous)) << "status " << int{status};
  }
  EXPECT_EQ(console.out, "\nbad status 0Bh.    ");

  // A failed exchange gives 403 and changes nothing either.
  driver.in.answer.resize(100);
  EXPECT_EQ(devicelink::RequestBlock(link, 1984, 0), 403);
  EXPECT_TRUE(SameBytes(link.BlockBuffer, previous));

  // The end frame is looked at only for the last block; a wrong nibble warns but delivers.
  link.module->SetMode(7);
  const std::pair<std::uint8_t, const char*> ends[] = {
      {0x09, "\nlast block: len=1000;blen=63;idx16a=258;idx16b=772; end status 09h.    "},
      {0x2D, ""},
      {0xFD, ""}};
  for (const auto& [end, warning] : ends) {
    SCOPED_TRACE(::testing::Message() << "end frame " << int{end});
    driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, end);
    console.out.clear();
    const std::int32_t not_last = devicelink::RequestBlock(link, 1000, 0);
    const std::int32_t last = devicelink::RequestBlock(link, 1000, 1);
    EXPECT_EQ(not_last, 0);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(console.out, warning) << "nothing from the first";
    EXPECT_EQ(link.BlockBuffer[0], driver.in.answer[48]) << "the block's first byte";
  }
}

// Opening the one module: what the runs cannot see (result codes, key reads, the link's state and
// the handles after each outcome). The refusals' texts are the end-to-end runs' to check.
struct Exhausted : sim::SimDriver {
  using SimDriver::SimDriver;
  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&, std::span<const usb::UsbId>) override {
    throw std::bad_alloc();
  }
};

// The result says which side failed: 4 for the send, 5 for the receive (5 when both did), plus
// 16 for a send short of the command and 32 for an answer short of its length.
TEST_F(Exchange, ResultNamesTheSideThatFailed) {
  std::vector<std::uint8_t> answer(2048 + 16, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  const std::vector<std::uint8_t> full = Answer(80, 0xA7, 1, 0x2D);
  struct Case {
    const char* name;
    PipeBehaviour send, receive;
    std::int32_t result;
  };
  for (const Case& c : {Case{"send never ends", PipeBehaviour::Never, PipeBehaviour::Complete, 4 + 16},
                        Case{"receive never ends", PipeBehaviour::Complete, PipeBehaviour::Never, 5 + 32},
                        Case{"both refused", PipeBehaviour::Refused, PipeBehaviour::Refused, 5 + 16 + 32}}) {
    SCOPED_TRACE(c.name);
    driver.out.behaviour = c.send;
    driver.in.behaviour = c.receive;
    driver.in.answer = full;
    EXPECT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 64, answer.data()), c.result);
  }
}

// A module whose transfer unit is not positive is refused before anything is sent.
TEST_F(Exchange, AModuleWithoutATransferUnitIsRefused) {
  std::vector<std::uint8_t> answer(80, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  link.module = core::Module::OverEndPoints(in_access, out_access, 0);
  EXPECT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 64, answer.data()), 1);
  EXPECT_TRUE(driver.sent.empty());
}

// A clean transfer leaves its event for the next; after a failed one it is dropped, as a transfer
// that ended late could still signal it.
TEST_F(Exchange, EventsAreReusedOnlyAfterACleanExchange) {
  std::vector<std::uint8_t> answer(80, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  driver.in.answer = Answer(80, 0xA7, 1, 0x2D);
  ASSERT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 64, answer.data()), 0);
  ASSERT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 64, answer.data()), 0);
  EXPECT_EQ(driver.events_created, 2) << "two clean exchanges";

  driver.in.behaviour = PipeBehaviour::Never;
  ASSERT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 64, answer.data()), 5 + 32);
  driver.in.behaviour = PipeBehaviour::Complete;
  ASSERT_EQ(devicelink::ExchangeFrames(link, command.data(), 64, 64, answer.data()), 0);
  EXPECT_EQ(driver.events_created, 3) << "a new event for the receive that failed, none for the send";
}

using DeviceLinkTest = Exchange;  // its own drivers, the fixture's catalogue

TEST_F(DeviceLinkTest, EveryOutcomeLeavesTheLinkAndHandlesConsistent) {
  struct Case {
    const char* name;
    const char* simulation;
    std::int32_t result;
    int keys = 0;            // read
    int unit = 0;            // the transfer unit of an opened link
    bool exhausted = false;  // whether memory runs out
  };
  const Case cases[] = {
      {.name = "opened", .simulation = "", .result = 0, .unit = 2048},
      {.name = "full speed", .simulation = "speed=full", .result = 0, .unit = 64},
      {.name = "two modules", .simulation = "devices=2", .result = 52, .keys = 1},
      {.name = "no bulk in", .simulation = "no_bulk_in", .result = 89},
      {.name = "no device object", .simulation = "", .result = 46, .exhausted = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    sim::Options options = sim::ParseOptions(c.simulation, error).value();
    const auto simulated = c.exhausted ? std::make_unique<Exhausted>(std::move(options))
                                       : std::make_unique<sim::SimDriver>(std::move(options));
    usb::VendorDriverProvider provider(*simulated);
    testing_support::CapturedConsole captured;
    EXPECT_EQ(devicelink::OpenDeviceLink(link, provider), c.result);
    EXPECT_EQ(captured.keys_read, c.keys);
    EXPECT_EQ(link.module != nullptr, c.result == 0) << "a module only when opened";
    EXPECT_EQ(link.BulkIn != nullptr, c.result == 0) << "a bulk IN endpoint only when opened";
    EXPECT_EQ(link.BulkOut != nullptr, c.result == 0) << "a bulk OUT endpoint only when opened";
    EXPECT_EQ(link.TransferUnit, c.unit);
    if (c.exhausted) {
      EXPECT_EQ(captured.out, "\nno device object");
    } else {
      EXPECT_NE(captured.out, "\nno device object");
    }
    devicelink::CloseDeviceLink(link);
    devicelink::CloseDeviceLink(link);  // a second close does nothing
    EXPECT_EQ(link.module, nullptr);
    EXPECT_EQ(simulated->OpenHandles(), 0u);
  }
}

}  // namespace
