// The bulk exchange and the block request over a scripted driver: the bytes that go out, the
// waits, the result arithmetic, and the checks of the module's answer.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "console/catalogue.h"
#include "protocol/block_request.h"
#include "protocol/device_link.h"
#include "protocol/exchange.h"
#include "protocol/fake_pipe_driver.h"
#include "support/test_support.h"

namespace {

using testing_support::FakePipeDriver;
using testing_support::PipeBehaviour;

constexpr std::array<std::uint8_t, 7> kBulkIn{7, 5, 0x86, 2, 0x00, 0x02, 0};
constexpr std::array<std::uint8_t, 7> kBulkOut{7, 5, 0x02, 2, 0x00, 0x02, 0};

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(
        dir / "lang.INI",
        "[F006]\nS009=send timed out\nS010=receive timed out\nS015=bad status\n"
        "S016=last block: ;\nS017=end status\nS021=gone\nS022=short send\nS023=short answer\n");
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
  FakePipeDriver driver;
  usb::UsbBulkEndPoint in{1, kBulkIn};
  usb::UsbBulkEndPoint out{1, kBulkOut};
};

std::vector<std::uint8_t> Frames(std::initializer_list<std::uint8_t> flags) {
  std::vector<std::uint8_t> command;
  for (std::uint8_t flag : flags) {
    auto frame = protocol::CommandFrame(protocol::Signature::C0DE, flag, 0, 0);
    command.insert(command.end(), frame.begin(), frame.end());
  }
  return command;
}

TEST_F(Exchange, RefusesCommandsThatAreNotWholeFrames) {
  std::uint8_t answer[64] = {};
  const auto command = Frames({0});
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 0, 16, answer), 0);
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 8, 16, answer), 1);
  EXPECT_EQ(driver.events_created, 0);

  driver.fail_event_number = 1;
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 16, 16, answer), 1);
  driver.fail_event_number = 3;  // the receive event of the next call
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 16, 16, answer), 2);
  EXPECT_TRUE(driver.sent.empty());
}

TEST_F(Exchange, AppendsTheClosingFrameOnlyWhenTheAnswerIsNotWholeUnits) {
  std::vector<std::uint8_t> answer(256, 0xEE);
  driver.in.answer = Answer(176, 0xA7, 1, 0x2D);
  const auto command = Frames({0, 0x04, 0, 0x10});
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 160, answer.data()), 0);
  ASSERT_EQ(driver.sent.size(), 80u);
  const auto closing = Frames({0x80});
  EXPECT_TRUE(std::equal(closing.begin(), closing.end(), driver.sent.begin() + 64));
  EXPECT_EQ(driver.requested_in, 176u);
  EXPECT_TRUE(std::equal(driver.in.answer.begin(), driver.in.answer.end(), answer.begin()));

  protocol::DeviceLink().module = core::Module::OverEndPoints(in, out, 64);
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 128, answer.data()), 0);
  EXPECT_EQ(driver.sent.size(), 64u);
  EXPECT_EQ(driver.requested_in, 128u);

  protocol::DeviceLink().module = core::Module::OverEndPoints(in, out, 2048);
  auto closed = Frames({0, 0x04, 0, 0x10, 0x80});
  EXPECT_EQ(protocol::ExchangeFrames(closed.data(), 80, 160, answer.data()), 0);
  EXPECT_EQ(driver.sent.size(), 80u);
  EXPECT_EQ(driver.requested_in, 160u);

  // A last frame with the closing flag but another signature does not close the command.
  for (const std::size_t at : {0u, 1u, 2u, 3u}) {
    closed[64 + at] ^= 0xFF;
    EXPECT_EQ(protocol::ExchangeFrames(closed.data(), 80, 160, answer.data()), 0);
    EXPECT_EQ(driver.sent.size(), 96u) << at;
    closed[64 + at] ^= 0xFF;
  }
}

TEST_F(Exchange, TimeOutsAbortWaitTheGraceAndStillCollectBoth) {
  std::vector<std::uint8_t> answer(2048 + 16, 0xEE);
  const auto command = Frames({0, 0x04, 0, 0x10});
  driver.in.behaviour = PipeBehaviour::Never;
  driver.out.behaviour = PipeBehaviour::Never;
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 2048, answer.data()), 5 + 16 + 32);
  EXPECT_EQ(driver.waits, (std::vector<std::uint32_t>{9000, 2000, 9000, 2000}));
  EXPECT_EQ(driver.aborted, (std::vector<std::uint8_t>{0x02, 0x86}));
  EXPECT_NE(console.out.find("\nsend timed out\nreceive timed out"), std::string::npos);
  EXPECT_EQ(answer[0], 0xEE);

  // A refused transfer (an unplugged module) is aborted without the grace wait and said once;
  // the answer that did arrive is not handed out, as the exchange failed.
  driver = FakePipeDriver{};
  console.out.clear();
  driver.out.behaviour = PipeBehaviour::Refused;
  driver.in.behaviour = PipeBehaviour::Refused;
  EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 2048, answer.data()), 5 + 16 + 32);
  EXPECT_EQ(driver.waits, std::vector<std::uint32_t>{});
  EXPECT_EQ(driver.aborted, (std::vector<std::uint8_t>{0x02, 0x86}));
  EXPECT_EQ(console.out, "\ngone");

  // Short transfers, even by one byte, fail with their own texts and leave the buffer alone.
  for (const std::size_t delivered : {100u, 159u}) {
    driver = FakePipeDriver{};
    driver.out.shortfall = 1;
    driver.in.answer = Answer(delivered, 0xA7, 0, 0x2D);
    std::fill(answer.begin(), answer.end(), 0xEE);
    console.out.clear();
    EXPECT_EQ(protocol::ExchangeFrames(command.data(), 64, 160, answer.data()), 16 + 32);
    EXPECT_EQ(answer[0], 0xEE);
    EXPECT_EQ(console.out, "\nshort send\nshort answer");
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
  EXPECT_EQ(driver.sent, expected);
  EXPECT_EQ(driver.requested_in, 16u * 63 + 80);
  EXPECT_TRUE(std::equal(driver.in.answer.begin() + 48, driver.in.answer.begin() + 1048,
                         protocol::BlockBuffer().begin()));

  driver.in.answer = Answer(2048, 0xF7, 124, 0x2D);
  ASSERT_EQ(protocol::RequestBlock(1984, 0), 0);
  ASSERT_EQ(driver.sent.size(), 64u);
  EXPECT_EQ(driver.sent[46], 0x00);
  EXPECT_EQ(driver.sent[47], 0x7C);
  EXPECT_EQ(driver.requested_in, 2048u);

  driver.in.answer = Answer(2064, 0xA7, 124, 0x2D);
  ASSERT_EQ(protocol::RequestBlock(1983, 1), 0);
  EXPECT_EQ(driver.sent.size(), 80u);
  EXPECT_EQ(driver.requested_in, 2064u);

  driver.sent.clear();
  EXPECT_EQ(protocol::RequestBlock(1985, 0), 1);
  EXPECT_TRUE(driver.sent.empty());

  for (auto [length, n] : {std::pair{0u, 0u}, {1u, 1u}, {16u, 1u}, {17u, 2u}}) {
    driver.in.answer = Answer(16 * n + 80, 0xA7, n, 0x2D);
    ASSERT_EQ(protocol::RequestBlock(length, 1), 0) << length;
    EXPECT_EQ(driver.sent[47], n) << length;
    EXPECT_EQ(driver.requested_in, 16 * n + 80) << length;
  }
}

TEST_F(Exchange, BlockRequestChecksStatusAndEndFrame) {
  driver.in.answer = Answer(2048, 0xA7, 124, 0x2D);
  ASSERT_EQ(protocol::RequestBlock(1984, 0), 0);
  const auto previous = protocol::BlockBuffer();

  // A status for another mode fails and leaves the previous block in place; all four bits count.
  protocol::DeviceLink().module->SetMode(3);
  driver.in.answer = Answer(2048, 0x57, 124, 0x2D);
  console.out.clear();
  EXPECT_EQ(protocol::RequestBlock(1984, 0), 408);
  EXPECT_EQ(console.out, "\nbad status 07h.    ");
  EXPECT_EQ(protocol::BlockBuffer(), previous);
  driver.in.answer = Answer(2048, 0x5B, 124, 0x2D);
  EXPECT_EQ(protocol::RequestBlock(1984, 0), 408);

  // A failed exchange gives 403 and changes nothing either.
  driver.in.answer.resize(100);
  EXPECT_EQ(protocol::RequestBlock(1984, 0), 403);
  EXPECT_EQ(protocol::BlockBuffer(), previous);

  // The end frame is looked at only for the last block; a wrong nibble warns but delivers.
  protocol::DeviceLink().module->SetMode(7);
  driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, 0x09);
  console.out.clear();
  EXPECT_EQ(protocol::RequestBlock(1000, 0), 0);
  EXPECT_EQ(console.out, "");
  EXPECT_EQ(protocol::RequestBlock(1000, 1), 0);
  EXPECT_EQ(console.out, "\nlast block: len=1000;blen=63;idx16a=258;idx16b=772; end status 09h.    ");
  EXPECT_EQ(protocol::BlockBuffer()[0], driver.in.answer[48]);

  for (const std::uint8_t end : {std::uint8_t{0x2D}, std::uint8_t{0xFD}}) {
    driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, end);
    console.out.clear();
    EXPECT_EQ(protocol::RequestBlock(1000, 1), 0);
    EXPECT_EQ(console.out, "");
  }
  driver.in.answer = Answer(16 * 63 + 80, 0xA7, 63, 0x2C);
  EXPECT_EQ(protocol::RequestBlock(1000, 1), 0);
  EXPECT_NE(console.out.find("end status 0Ch"), std::string::npos);
}

}  // namespace
