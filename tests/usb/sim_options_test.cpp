// The simulated module's configuration text (RNGACQ_SIM): what each key sets, and every value
// out of its range refused with a message naming it, so that a test never runs against a
// configuration other than the one it wrote.
#include <gtest/gtest.h>

#include <string>

#include "drivers/sim/sim_driver.h"

namespace {

sim::Options Parsed(const std::string& text) {
  std::string error;
  const std::optional<sim::Options> options = sim::ParseOptions(text, error);
  EXPECT_TRUE(options.has_value()) << text << ": " << error;
  return options.value_or(sim::Options{});
}

std::string Refusal(const std::string& text) {
  std::string error;
  return sim::ParseOptions(text, error) ? "accepted" : error;
}

TEST(SimOptions, ValuesAtTheEdgesOfTheirRanges) {
  EXPECT_EQ(Parsed("").modules.size(), 1u);
  EXPECT_EQ(Parsed("devices=0").modules.size(), 0u);
  const sim::Options sixteen = Parsed("devices=16,seed=40");
  ASSERT_EQ(sixteen.modules.size(), 16u);
  EXPECT_EQ(sixteen.modules[15].serial, "SIM-00000016");
  EXPECT_EQ(sixteen.modules[0].seed, 40u);
  EXPECT_EQ(sixteen.modules[15].seed, 55u);

  EXPECT_EQ(Parsed("status=F").modules[0].faults.status_nibble, 0x0F);
  EXPECT_EQ(Parsed("end=0").modules[0].faults.end_nibble, 0x00);
  EXPECT_EQ(Parsed("bias=1000").modules[0].faults.bias_permille, 1000u);
  EXPECT_EQ(Parsed("time_divisor=1").time_divisor, 1u);
  EXPECT_EQ(Parsed("stuck_after=4294967296").modules[0].faults.stuck_after, 4294967296u);
  EXPECT_EQ(Parsed("silent_after=0").modules[0].faults.silent_after_blocks, 0u);
  EXPECT_EQ(Parsed("seed=0x10").modules[0].seed, 16u) << "0x: hexadecimal";
  EXPECT_EQ(Parsed("seed=0x5").modules[0].seed, 5u) << "one hexadecimal digit";

  const sim::Options slow = Parsed("latency_us=1000000");
  EXPECT_EQ(slow.latency_us, 1000000u);
  EXPECT_TRUE(slow.complete_from_worker) << "a latency is kept by the worker";
}

TEST(SimOptions, EachKeySetsItsOwnSetting) {
  const sim::ModuleConfig module =
      Parsed(" vid = abcd , pid=0001,,speed=full,driver=1.4.3.2,short_answer=3,short_send=2").modules[0];
  EXPECT_EQ(module.device_descriptor[8], 0xCD);
  EXPECT_EQ(module.device_descriptor[9], 0xAB);
  EXPECT_EQ(module.device_descriptor[10], 0x01);
  EXPECT_EQ(module.device_descriptor[11], 0x00);
  EXPECT_FALSE(module.high_speed);
  EXPECT_EQ(module.driver_version, 0x01040302u);
  EXPECT_EQ(module.faults.short_answer, 3u);
  EXPECT_EQ(module.faults.short_send, 2u);
  EXPECT_TRUE(Parsed("speed=high").modules[0].high_speed);

  const sim::Faults flags =
      Parsed(
          "open_fail,no_bulk_in,no_bulk_out,strings_unreadable,config_unreadable,silent,send_pending,"
          "abort_ineffective,refuse")
          .modules[0]
          .faults;
  EXPECT_TRUE(flags.open_fails);
  EXPECT_TRUE(flags.no_bulk_in);
  EXPECT_TRUE(flags.no_bulk_out);
  EXPECT_TRUE(flags.strings_unreadable);
  EXPECT_TRUE(flags.config_unreadable);
  EXPECT_TRUE(flags.silent);
  EXPECT_TRUE(flags.send_pending);
  EXPECT_TRUE(flags.abort_ineffective);
  EXPECT_TRUE(flags.refuse_requests);
  EXPECT_FALSE(Parsed("").modules[0].faults.silent) << "no fault unless named";

  const sim::Options options = Parsed("worker,no_list");
  EXPECT_TRUE(options.complete_from_worker);
  EXPECT_TRUE(options.list_unavailable);
  EXPECT_EQ(Parsed("disconnect_after=7").modules[0].faults.disconnect_after_blocks, 7u);
  EXPECT_EQ(Parsed("repeat_after=2").modules[0].faults.repeat_after, 2u);
}

TEST(SimOptions, RefusesValuesOutOfRangeAndNamesThem) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"devices=17", "bad value for 'devices': '17'"},
      {"devices", "bad value for 'devices'"},
      {"speed=fast", "bad value for 'speed': 'fast'"},
      {"driver=1.4.3", "bad value for 'driver': '1.4.3'"},
      {"driver=1.4.3.2.1", "bad value for 'driver': '1.4.3.2.1'"},
      {"driver=1.4.3.256", "bad value for 'driver': '1.4.3.256'"},
      {"status=10", "bad value for 'status': '10'"},
      {"end=", "bad value for 'end': ''"},
      {"vid=10000", "bad value for 'vid': '10000'"},
      {"bias=1001", "bad value for 'bias': '1001'"},
      {"latency_us=1000001", "bad value for 'latency_us': '1000001'"},
      {"time_divisor=0", "bad value for 'time_divisor': '0'"},
      {"seed=12x", "bad value for 'seed': '12x'"},
      {"short_send=-1", "bad value for 'short_send': '-1'"},
      {"silent=1", "bad value for 'silent': '1'"},
      {"stuck_after=", "bad value for 'stuck_after': ''"},
      {"silent,bogus=1", "unknown key 'bogus'"},
  };
  for (const Case& c : cases) EXPECT_EQ(Refusal(c.text), c.error) << c.text;
}

// What a simulated module presents by default: a USB 2.0 device (ID 1209:0001, strings 1 to 3,
// one configuration) with one vendor-specific interface and its bulk IN 0x86 and OUT 0x02
// endpoints of 512 bytes, bus-powered at 100 mA.
TEST(SimOptions, TheDefaultDescriptorsAreByteExact) {
  EXPECT_EQ(sim::DefaultDeviceDescriptor(),
            (std::vector<std::uint8_t>{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 1,
                                       2, 3, 1}));
  EXPECT_EQ(sim::DefaultConfigDescriptor(),
            (std::vector<std::uint8_t>{
                9, 2, 32,   0, 1,    1,    0, 0x80, 50,  // configuration 1 of 32 bytes
                9, 4, 0,    0, 2,    0xFF, 0, 0,    0,   // interface 0, two endpoints
                7, 5, 0x86, 2, 0x00, 0x02, 0,            // bulk IN
                7, 5, 0x02, 2, 0x00, 0x02, 0,            // bulk OUT
            }));
}

}  // namespace
