// The bulk exchange and the block request over a scripted driver (the bytes that go out, the
// waits, the result arithmetic, the checks of the module's answer), and the module's opening.
#include <gtest/gtest.h>

#include <array>
#include <new>
#include <tuple>
#include <vector>

#include "console/catalogue.h"
#include "drivers/sim/sim_driver.h"
#include "protocol/block_request.h"
#include "protocol/device_link.h"
#include "protocol/exchange.h"
#include "protocol/fake_pipe_driver.h"
#include "support/test_support.h"

namespace {

using testing_support::PipeBehaviour;

constexpr std::array<std::uint8_t, 7> kBulkIn{7, 5, 0x86, 2, 0x00, 0x02, 0};
constexpr std::array<std::uint8_t, 7> kBulkOut{7, 5, 0x02, 2, 0x00, 0x02, 0};

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(dir / "lang.INI",
                               "[F006]\nS009=send timed out\nS010=receive timed out\nS015=bad status\n"
                               "S001=no device object\nS016=last block: ;\nS017=end status\nS021=gone\n");
    console::SetCataloguePath(dir / "lang.INI");
    usb::SetDriver(&driver);
    protocol::DeviceLink().module = core::Module::OverEndPoints(in, out, 2048);
  }
  void TearDown() override {
    protocol::DeviceLink().module.reset();
    usb::SetDriver(nullptr);
  }

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
  usb::UsbBulkEndPoint in{1, kBulkIn}, out{1, kBulkOut};
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
  EXPECT_EQ((std::tuple{protocol::ExchangeFrames(command.data(), 0, 16, answer),
                        protocol::ExchangeFrames(command.data(), 8, 16, answer), driver.events_created}),
            std::tuple(0, 1, 0));

  driver.fail_event_number = 1;
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 16, 16, answer), 1);
  driver.fail_event_number = 3;  // the receive event of the next call
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 16, 16, answer), 2);
  EXPECT_TRUE(driver.sent.empty());
}

TEST_F(Exchange, AppendsTheClosingFrameOnlyWhenTheAnswerIsNotWholeUnits) {
  std::vector<std::uint8_t> answer(256, 0xEE);
  driver.in.answer = Answer(176, 0xA7, 1, 0x2D);
  auto command = Frames({0, 0x04, 0, 0x10, 0x80});
  EXPECT_EQ((std::tuple{protocol::ExchangeFrames(command.data(), 64, 160, answer.data()), driver.sent,
                        driver.requested_in, std::vector(answer.begin(), answer.begin() + 176)}),
            std::tuple(0, command, 176u, driver.in.answer));

  // Whole units of 64; a command that closes itself; a last frame with the closing flag but
  // another signature does not close it.
  auto spoiled = command;
  spoiled[65] ^= 0xFF;
  // Each case: the unit, the command and its length, the answer's length; the bytes sent, and asked for.
  using Case = std::tuple<int, const std::uint8_t*, int, int, std::size_t, std::uint32_t>;
  for (const auto& [unit, frames, length, answer_length, sent, requested] :
       {Case{64, command.data(), 64, 128, 64, 128}, Case{2048, command.data(), 80, 160, 80, 160},
        Case{2048, spoiled.data(), 80, 160, 96, 176}}) {
    protocol::DeviceLink().module = core::Module::OverEndPoints(in, out, unit);
    EXPECT_EQ((std::tuple{protocol::ExchangeFrames(frames, length, answer_length, answer.data()),
                          driver.sent.size(), driver.requested_in}),
              std::tuple(0, sent, requested));
  }
}

TEST_F(Exchange, TimeOutsAbortWaitTheGraceAndStillCollectBoth) {
  std::vector<std::uint8_t> answer(2048 + 16, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  using Waits = std::vector<std::uint32_t>;
  // A transfer that never ends waits its grace after the abort; a refused one (an unplugged
  // module) is aborted without it and said once; the answer that did arrive is not handed out.
  for (const PipeBehaviour behaviour : {PipeBehaviour::Never, PipeBehaviour::Refused}) {
    driver.waits.clear();
    driver.aborted.clear();
    console.out.clear();
    driver.in.behaviour = driver.out.behaviour = behaviour;
    EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 2048, answer.data()), 5 + 16 + 32);
    const bool never = behaviour == PipeBehaviour::Never;
    EXPECT_EQ(
        std::tuple(driver.waits, driver.aborted, console.out),
        std::tuple(never ? Waits{9000, 2000, 9000, 2000} : Waits{}, std::vector<std::uint8_t>{0x02, 0x86},
                   never ? "\nsend timed out\nreceive timed out" : "\ngone"));
  }
}

TEST_F(Exchange, BlockRequestFramesAreByteExact) {
  driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, 0x2D);
  ASSERT_EQ(protocol::RequestBlock(1000, 1), 0);
  const std::vector<std::uint8_t> expected = {
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0x03, 0x00,  //
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0x00, 0x07,  //
      0x13, 0x37, 0xDA, 0x7A, 0, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0x00, 0x3F,  //
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0x00, 0x00,  //
      0x13, 0x37, 0xC0, 0xDE, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0x00, 0x00};
  EXPECT_EQ(std::tuple(driver.sent, driver.requested_in), std::tuple(expected, 16u * 63 + 80));
  EXPECT_TRUE(std::equal(driver.in.answer.begin() + 48, driver.in.answer.begin() + 1048,
                         protocol::BlockBuffer().begin()));

  // Frames asked for, and whether a closing frame follows: only a full last block needs none.
  // Each case: length, frames, whether last, bytes sent.
  const std::tuple<std::uint32_t, std::uint32_t, int, std::size_t> cases[] = {
      {1984, 124, 0, 64}, {1983, 124, 1, 80}, {0, 0, 1, 80}, {1, 1, 1, 80}, {16, 1, 1, 80}, {17, 2, 1, 80}};
  for (const auto& [length, frames, last, sent] : cases) {
    SCOPED_TRACE(length);
    const std::uint32_t answer = 16 * frames + 48 + (sent == 80 ? 32u : 16u);
    driver.in.answer = Answer(answer, 0xA7, frames, 0x2D);
    ASSERT_EQ(protocol::RequestBlock(length, last), 0);
    EXPECT_EQ(std::tuple(driver.sent.size(), driver.sent[47], driver.requested_in),
              std::tuple(sent, frames & 0xFF, answer));
  }
  driver.sent.clear();
  EXPECT_EQ(protocol::RequestBlock(1985, 0), 1);
  EXPECT_TRUE(driver.sent.empty());
}

TEST_F(Exchange, BlockRequestChecksStatusAndEndFrame) {
  driver.in.answer = Answer(2048, 0xA7, 124, 0x2D);
  ASSERT_EQ(protocol::RequestBlock(1984, 0), 0);
  const auto previous = protocol::BlockBuffer();

  // A status for another mode fails and leaves the previous block in place; all four bits count.
  protocol::DeviceLink().module->SetMode(3);
  for (const std::uint8_t status : {std::uint8_t{0x57}, std::uint8_t{0x5B}}) {
    driver.in.answer = Answer(2048, status, 124, 0x2D);
    console.out.clear();
    EXPECT_EQ((std::pair{protocol::RequestBlock(1984, 0), protocol::BlockBuffer()}),
              std::pair(408, previous));
  }
  EXPECT_EQ(console.out, "\nbad status 0Bh.    ");

  // A failed exchange gives 403 and changes nothing either.
  driver.in.answer.resize(100);
  EXPECT_EQ((std::pair{protocol::RequestBlock(1984, 0), protocol::BlockBuffer()}), std::pair(403, previous));

  // The end frame is looked at only for the last block; a wrong nibble warns but delivers.
  protocol::DeviceLink().module->SetMode(7);
  const std::pair<std::uint8_t, const char*> ends[] = {
      {0x09, "\nlast block: len=1000;blen=63;idx16a=258;idx16b=772; end status 09h.    "},
      {0x2D, ""},
      {0xFD, ""}};
  for (const auto& [end, warning] : ends) {
    driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, end);
    console.out.clear();
    // Nothing from the first.
    EXPECT_EQ((std::tuple{protocol::RequestBlock(1000, 0), protocol::RequestBlock(1000, 1), console.out,
                          protocol::BlockBuffer()[0]}),
              std::tuple(0, 0, warning, driver.in.answer[48]));
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
    EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 64, answer.data()), c.result);
  }
}

// A module whose transfer unit is not positive is refused before anything is sent.
TEST_F(Exchange, AModuleWithoutATransferUnitIsRefused) {
  std::vector<std::uint8_t> answer(80, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  protocol::DeviceLink().module = core::Module::OverEndPoints(in, out, 0);
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 64, answer.data()), 1);
  EXPECT_TRUE(driver.sent.empty());
}

// A clean exchange leaves its two events for the next; after a failed one they are dropped, as a
// transfer that ended late could still signal them.
TEST_F(Exchange, EventsAreReusedOnlyAfterACleanExchange) {
  std::vector<std::uint8_t> answer(80, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  driver.in.answer = Answer(80, 0xA7, 1, 0x2D);
  ASSERT_EQ(protocol::ExchangeFrames(command.data(), 64, 64, answer.data()), 0);
  ASSERT_EQ(protocol::ExchangeFrames(command.data(), 64, 64, answer.data()), 0);
  EXPECT_EQ(driver.events_created, 2) << "two clean exchanges";

  driver.in.behaviour = PipeBehaviour::Never;
  ASSERT_EQ(protocol::ExchangeFrames(command.data(), 64, 64, answer.data()), 5 + 32);
  driver.in.behaviour = PipeBehaviour::Complete;
  ASSERT_EQ(protocol::ExchangeFrames(command.data(), 64, 64, answer.data()), 0);
  EXPECT_EQ(driver.events_created, 4) << "a clean exchange after a failed one";
}

using DeviceLinkTest = Exchange;  // its own drivers, the fixture's catalogue

TEST_F(DeviceLinkTest, EveryOutcomeLeavesTheLinkAndHandlesConsistent) {
  // Each case: a name, the simulation, the result, the keys read, the transfer unit of an opened
  // link, whether memory runs out.
  using Case = std::tuple<const char*, const char*, std::int32_t, int, int, bool>;
  for (const auto& [name, simulation, result, keys, unit, exhausted] :
       {Case{"opened", "", 0, 0, 2048, false}, Case{"full speed", "speed=full", 0, 0, 64, false},
        Case{"two modules", "devices=2", 52, 1, 0, false}, Case{"no bulk in", "no_bulk_in", 89, 0, 0, false},
        Case{"no device object", "", 46, 0, 0, true}}) {
    SCOPED_TRACE(name);
    std::string error;
    sim::Options options = sim::ParseOptions(simulation, error).value();
    const auto simulated = exhausted ? std::make_unique<Exhausted>(std::move(options))
                                     : std::make_unique<sim::SimDriver>(std::move(options));
    usb::SetDriver(simulated.get());
    testing_support::CapturedConsole captured;
    const auto& link = protocol::DeviceLink();
    EXPECT_EQ((std::tuple{protocol::OpenDeviceLink(), captured.keys_read, link.module != nullptr,
                          link.BulkIn != nullptr && link.BulkOut != nullptr, link.TransferUnit,
                          captured.out == "\nno device object"}),
              std::tuple(result, keys, result == 0, result == 0, unit, exhausted));
    protocol::CloseDeviceLink();
    protocol::CloseDeviceLink();  // a second close does nothing
    EXPECT_EQ(std::tuple(link.module.get(), simulated->OpenHandles()), std::tuple(nullptr, 0u));
    usb::SetDriver(nullptr);
  }
}

}  // namespace
