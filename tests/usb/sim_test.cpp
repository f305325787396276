// The simulated module as the protocol meets it: through the device's bulk endpoints.
#include <gtest/gtest.h>

#include "sim_scope.h"
#include "usb/device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The command of one whole block of 1984 bytes in generator mode `mode`.
Bytes BlockCommand(std::uint8_t mode) {
  Bytes c(64, 0);
  for (std::size_t f = 0; f < 4; ++f) {
    c[16 * f] = 0x13;
    c[16 * f + 1] = 0x37;
    c[16 * f + 2] = f == 2 ? 0xDA : 0xC0;
    c[16 * f + 3] = f == 2 ? 0x7A : 0xDE;
  }
  c[14] = 0x03;
  c[16 + 8] = 0x04;
  c[16 + 15] = mode;
  c[32 + 15] = 124;
  c[48 + 8] = 0x10;
  return c;
}

struct Exchange {
  bool in_ok, out_ok;
  std::int32_t in_length, out_length;
  std::uint32_t in_error, out_error;
};

// Receive first, then send; waits as the protocol does, aborting a pipe whose wait fails.
Exchange RunExchange(usb::UsbDevice& device, const Bytes& command, Bytes& answer) {
  usb::UsbEndPoint& in = *device.BulkInEndPoint;
  usb::UsbEndPoint& out = *device.BulkOutEndPoint;
  usb::CompletionRecord in_record{usb::CurrentDriver().CreateEvent(), nullptr};
  usb::CompletionRecord out_record{usb::CurrentDriver().CreateEvent(), nullptr};
  Bytes send = command;
  auto in_context = in.BeginTransfer(answer.data(), static_cast<std::int32_t>(answer.size()), in_record);
  auto out_context = out.BeginTransfer(send.data(), static_cast<std::int32_t>(send.size()), out_record);
  Exchange r{};
  r.in_error = in.LastError;
  r.out_error = out.LastError;
  for (auto [ep, record] : {std::pair{&out, &out_record}, std::pair{&in, &in_record}}) {
    if (!ep->WaitForTransfer(*record, 9000)) {
      ep->Abort();
      if (ep->LastError == usb::kErrorIoPending) record->event->Wait(2000);
    }
  }
  r.out_ok = out.FinishTransfer(send.data(), r.out_length, out_record, std::move(out_context), nullptr);
  r.in_ok = in.FinishTransfer(answer.data(), r.in_length, in_record, std::move(in_context), nullptr);
  return r;
}

TEST(SimModule, AnswersAWholeBlockInItsLayout) {
  struct Case {
    const char* name;
    bool worker;
    std::uint32_t driver;
  };
  for (const Case& c : {Case{"inline, direct", false, 0x01050500}, Case{"worker, direct", true, 0x01050500},
                        Case{"worker, buffered", true, 0x01050400}}) {
    SCOPED_TRACE(c.name);
    Bytes answer(2048, 0xEE);
    sim::Options options;
    options.complete_from_worker = c.worker;
    options.modules[0].driver_version = c.driver;
    options.modules[0].seed = 42;
    SimScope sim(options);
    usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
    for (std::uint16_t block = 1; block <= 2; ++block) {
      const Exchange r = RunExchange(device, BlockCommand(7), answer);
      EXPECT_TRUE(r.in_ok && r.out_ok);
      EXPECT_EQ(r.in_length, 2048);
      EXPECT_EQ(r.out_length, 64);
      EXPECT_EQ(std::count(answer.begin(), answer.begin() + 31, 0), 31);
      EXPECT_EQ(answer[31], 0xA7);  // status: mode in the low nibble
      EXPECT_EQ(answer[44] << 8 | answer[45], block);
      EXPECT_EQ(answer[46] << 8 | answer[47], 124);
      const Bytes data(answer.begin() + 48, answer.begin() + 48 + 1984);
      EXPECT_EQ(data, sim::StreamBytes(42, 1984u * (block - 1u), 1984));
      EXPECT_EQ(answer[2047], 0x2D);  // end frame
      EXPECT_EQ(sim.driver.AnsweredRequests(), block);
    }
    EXPECT_EQ(sim.driver.Requests().back().code, c.driver >= 0x01050500 ? 0x22004Bu : 0x220024u);
  }
  const Bytes whole = sim::StreamBytes(9, 0, 40);
  EXPECT_EQ(sim::StreamBytes(9, 13, 20), Bytes(whole.begin() + 13, whole.begin() + 33));

  Bytes answer(2048, 0);
  sim::Options faulty;
  faulty.modules.resize(2);
  faulty.modules[0].faults.status_nibble = 5;
  faulty.modules[0].faults.end_nibble = 9;
  faulty.modules[0].faults.short_send = 16;
  faulty.modules[1].faults.short_answer = 100;
  SimScope sim(faulty);
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  Exchange r = RunExchange(device, BlockCommand(3), answer);
  EXPECT_EQ(r.out_length, 48);
  EXPECT_EQ(r.in_length, 2048);
  EXPECT_EQ(answer[31], 0xA5);
  EXPECT_EQ(answer[2047], 0x29);
  device.Open(1);
  r = RunExchange(device, BlockCommand(3), answer);
  EXPECT_EQ(r.in_length, 1948);
}

TEST(SimModule, TimeOutAbortAndCollection) {
  const std::size_t stranded = usb::StrandedTransferCount();
  struct Case {
    const char* name;
    sim::Faults faults;
    bool in_ok, out_ok;
    std::size_t stranded;
    std::uint32_t in_error = usb::kErrorIoPending;
  };
  sim::Faults silent, send_pending, ineffective, refused;
  silent.silent = true;
  send_pending.send_pending = true;
  ineffective.silent = true;
  ineffective.abort_ineffective = true;
  refused.refuse_requests = true;
  Bytes answer(2048, 0);  // outlives the drivers that may still hold it
  for (const Case& c :
       {Case{"silent", silent, false, false, 0}, Case{"send pending", send_pending, true, false, 0},
        Case{"abort ineffective", ineffective, false, false, 2},
        Case{"refused", refused, false, false, 0, usb::kErrorGenFailure}}) {
    SCOPED_TRACE(c.name);
    sim::Options options;
    options.time_divisor = 1000;  // 9000 ms waits take 9 ms
    options.modules[0].faults = c.faults;
    SimScope sim(options);
    usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
    const std::size_t before = usb::StrandedTransferCount();
    const Exchange r = RunExchange(device, BlockCommand(7), answer);
    EXPECT_EQ(r.in_ok, c.in_ok);
    EXPECT_EQ(r.out_ok, c.out_ok);
    EXPECT_EQ(r.out_length, 0);
    EXPECT_EQ(r.in_length, c.in_ok ? 2048 : 0);
    EXPECT_EQ(usb::StrandedTransferCount() - before, c.stranded);
    EXPECT_EQ(r.in_error, c.in_error);
  }
  EXPECT_EQ(usb::StrandedTransferCount() - stranded, 2u);
}

TEST(SimModule, DisconnectAndSilenceAfterSomeBlocks) {
  Bytes answer(2048, 0);
  sim::Options options;
  options.time_divisor = 1000;
  options.modules[0].faults.disconnect_after_blocks = 1;
  SimScope sim(options);
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_TRUE(RunExchange(device, BlockCommand(7), answer).in_ok);
  const Exchange r = RunExchange(device, BlockCommand(7), answer);
  EXPECT_EQ(r.in_error, usb::kErrorDeviceNotConnected);
  EXPECT_EQ(r.out_error, usb::kErrorDeviceNotConnected);
  EXPECT_EQ(device.CountDevices(), 0);

  options.modules[0].faults = {};
  options.modules[0].faults.silent_after_blocks = 1;
  SimScope quiet(options);
  usb::UsbDevice quiet_device(nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_TRUE(RunExchange(quiet_device, BlockCommand(7), answer).in_ok);
  EXPECT_FALSE(RunExchange(quiet_device, BlockCommand(7), answer).in_ok);
}

TEST(SimOptions, ParsesEveryKeyAndRejectsBadText) {
  std::string error;
  auto o = sim::ParseOptions(
      "devices=2, speed=full,driver=1.2.3.4,seed=0x10,vid=04b4,pid=1004,no_bulk_in,status=A,end=0,"
      "short_answer=3,silent_after=7,worker,time_divisor=50",
      error);
  ASSERT_TRUE(o) << error;
  ASSERT_EQ(o->modules.size(), 2u);
  const sim::ModuleConfig& m = o->modules[1];
  EXPECT_FALSE(m.high_speed);
  EXPECT_EQ(m.driver_version, 0x01020304u);
  EXPECT_EQ(m.seed, 16u);
  EXPECT_EQ(usb::ReadLe16(&m.device_descriptor[8]), 0x04B4);
  EXPECT_EQ(usb::ReadLe16(&m.device_descriptor[10]), 0x1004);
  EXPECT_EQ(m.serial, "SIM-00000002");
  EXPECT_TRUE(m.faults.no_bulk_in);
  EXPECT_EQ(m.faults.status_nibble, 0x0A);
  EXPECT_EQ(m.faults.end_nibble, 0);
  EXPECT_EQ(m.faults.short_answer, 3u);
  EXPECT_EQ(m.faults.silent_after_blocks, 7u);
  EXPECT_TRUE(o->complete_from_worker);
  EXPECT_EQ(o->time_divisor, 50u);
  EXPECT_TRUE(sim::ParseOptions("", error));
  for (const char* bad : {"bogus", "devices=x", "driver=1.2.3", "status=10", "silent=1", "time_divisor=0"}) {
    EXPECT_FALSE(sim::ParseOptions(bad, error)) << bad;
  }
  // Full speed without a bulk IN endpoint, as a device sees it.
  SimScope sim(*o);
  usb::UsbDevice device(nullptr, usb::kModuleInterfaceGuid, true);
  EXPECT_FALSE(device.IsHighSpeed);
  EXPECT_EQ(device.BulkInEndPoint, nullptr);
  EXPECT_EQ(device.BulkOutEndPoint->EffectiveMaxPacket, 64);
}

}  // namespace
