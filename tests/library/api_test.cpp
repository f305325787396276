// The C interface over simulated modules: every error value with its text, every selector, two
// modules at once, a module lost in the middle of a read, and a module the system keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/library_provider.h"
#include "drivers/sim/module_model.h"
#include "drivers/sim/sim_driver.h"
#include "rngacq/rngacq.h"
#include "support/process.h"
#include "support/test_support.h"
#include "usb/vendor_provider.h"

namespace {

using testing_support::Holds;
using testing_support::SameBytes;

// A simulated bus, the process's driver while it lives; a text the simulation refuses throws.
template <typename Driver = sim::SimDriver>
struct Bus {
  explicit Bus(const std::string& text) : driver(sim::ParseOptions(text, error).value()) {
    core::SetLibraryProvider(&provider);
  }
  ~Bus() { core::SetLibraryProvider(nullptr); }
  std::string error;
  Driver driver;
  usb::VendorDriverProvider provider{driver};
};

struct DeniedDriver : sim::SimDriver {
  using SimDriver::SimDriver;
  usb::Handle Open(const std::string& path, usb::OpenFailure& failure) override {
    failure.access_denied = true;
    failure.reason = path + ": permission denied";
    return usb::kInvalidHandle;
  }
};
struct KeptDriver : sim::SimDriver {
  using SimDriver::SimDriver;
  bool Close(usb::Handle handle) override { return !SimDriver::Close(handle); }
};
struct NoMemoryDriver : sim::SimDriver {
  using SimDriver::SimDriver;
  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&, std::span<const usb::UsbId>) override {
    throw std::bad_alloc();
  }
};

// A fault of the library's own (a bug) shows as an exception that no layer expects.
struct FaultyDriver : sim::SimDriver {
  using SimDriver::SimDriver;
  bool faulty = false;
  std::uint32_t RequestOverlapped(usb::Handle handle, std::uint32_t code, const std::uint8_t* in,
                                  std::uint32_t in_size, std::uint8_t* out, std::uint32_t out_size,
                                  usb::CompletionRecord& record) override {
    if (faulty) throw std::logic_error("a fault");
    return SimDriver::RequestOverlapped(handle, code, in, in_size, out, out_size, record);
  }
  bool Close(usb::Handle handle) override {
    const bool closed = SimDriver::Close(handle);
    if (faulty) throw std::logic_error("a fault");
    return closed;
  }
};

// The bytes a read delivered, and its result.
std::pair<std::vector<std::uint8_t>, int> Read(rngacq_module* module, std::size_t length) {
  std::vector<std::uint8_t> data(length);
  std::size_t done = 7;  // the bytes compared show whether the read set it
  const int result = rngacq_read(module, data.data(), length, &done);
  data.resize(done);
  return {data, result};
}

rngacq_module* Opened(const char* selector = nullptr) {
  rngacq_module* module = nullptr;
  EXPECT_EQ(rngacq_open(selector, &module), 0) << (selector ? selector : "");
  return module;
}

// The open's error, else the close's.
template <typename Driver = sim::SimDriver>
int OpenOn(const std::string& bus_text, const char* selector) {
  Bus<Driver> bus(bus_text);
  rngacq_module* module = reinterpret_cast<rngacq_module*>(&bus);  // must be cleared on failure
  const int result = rngacq_open(selector, &module);
  EXPECT_EQ(module == nullptr, result != 0);
  return result != 0 ? result : rngacq_close(module);
}

TEST(Library, ReadsRecordsAndEveryFailureHasItsValueAndText) {
  EXPECT_EQ(OpenOn("devices=0", nullptr), RNGACQ_ERROR_NO_MODULE);
  EXPECT_EQ(OpenOn("devices=2", ""), RNGACQ_ERROR_SEVERAL_MODULES);
  EXPECT_EQ(OpenOn("devices=2", "serial=SIM-00000003"), RNGACQ_ERROR_NO_MATCH);
  EXPECT_EQ(OpenOn("devices=2", "index=2"), RNGACQ_ERROR_NO_MATCH);
  EXPECT_EQ(OpenOn("devices=1", "id=abcd:0001"), RNGACQ_ERROR_NO_MODULE);
  EXPECT_EQ(OpenOn<DeniedDriver>("devices=1", nullptr), RNGACQ_ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenOn("open_fail", nullptr), RNGACQ_ERROR_OPEN_FAILED);
  EXPECT_EQ(OpenOn("no_bulk_out", nullptr), RNGACQ_ERROR_NO_ENDPOINTS);
  EXPECT_EQ(OpenOn<NoMemoryDriver>("devices=1", nullptr), RNGACQ_ERROR_NO_MEMORY);
  for (const char* bad : {"serial=", "id=12345678", "id=12:3456", "index=-1", "index=x", "bogus"})
    EXPECT_EQ(OpenOn("devices=1", bad), RNGACQ_ERROR_INVALID_ARGUMENT) << bad;

  // Reads ask for the blocks of a record of their length; failures keep the bytes delivered before.
  struct Case {
    const char* bus;
    std::size_t length;
    int error;
    std::size_t kept;  // bytes delivered
  };
  for (const Case& c : {
           Case{.bus = "devices=1", .length = 0, .error = 0, .kept = 0},
           Case{.bus = "devices=1", .length = 1, .error = 0, .kept = 1},
           Case{.bus = "devices=1", .length = 1984, .error = 0, .kept = 1984},
           Case{.bus = "devices=1", .length = 1985, .error = 0, .kept = 1985},
           Case{.bus = "devices=1", .length = 3968, .error = 0, .kept = 3968},
           Case{.bus = "devices=1", .length = 10000, .error = 0, .kept = 10000},
           Case{.bus = "silent,time_divisor=1000", .length = 10000, .error = RNGACQ_ERROR_TIMEOUT, .kept = 0},
           Case{.bus = "status=3", .length = 10000, .error = RNGACQ_ERROR_WRONG_STATUS, .kept = 0},
           Case{.bus = "short_answer=1,time_divisor=1000",
           .length = 10000,
           .error = RNGACQ_ERROR_SHORT_TRANSFER,
           .kept = 0},
           Case{.bus = "short_send=1,time_divisor=1000",
           .length = 10000,
           .error = RNGACQ_ERROR_SHORT_TRANSFER,
           .kept = 0},
           Case{.bus = "disconnect_after=2,time_divisor=1000",
           .length = 10000,
           .error = RNGACQ_ERROR_MODULE_GONE,
           .kept = 2 * 1984},
           Case{.bus = "refuse", .length = 10000, .error = RNGACQ_ERROR_MODULE_GONE, .kept = 0},
       }) {
    SCOPED_TRACE(testing::Message() << c.bus << " " << c.length);
    Bus bus(c.bus);
    rngacq_module* module = Opened();
    const auto [data, result] = Read(module, c.length);
    EXPECT_EQ(result, c.error);
    EXPECT_TRUE(SameBytes(data, sim::ExpectedRecord(1, 0, static_cast<std::int64_t>(c.kept))));
    if (c.error == 0) {
      EXPECT_EQ(bus.driver.AnsweredRequests(), (c.length + 1983) / 1984);
    }
    EXPECT_EQ(rngacq_close(module), 0);
  }

  // A transfer the driver never gives back makes the module unusable, not its buffers reused.
  {
    Bus bus("silent,abort_ineffective,time_divisor=1000");
    rngacq_module* module = Opened();
    EXPECT_EQ(Read(module, 100).second, RNGACQ_ERROR_TIMEOUT);
    EXPECT_EQ(Read(module, 100).second, RNGACQ_ERROR_UNUSABLE);
    rngacq_close(module);
  }
  // A module the system will not release is still freed, and the caller hears of it.
  EXPECT_EQ(OpenOn<KeptDriver>("devices=1", nullptr), RNGACQ_ERROR_RELEASE_FAILED);
  // A fault inside the library is its own error, not a failed open, in a read and in a close.
  {
    Bus<FaultyDriver> bus("");
    rngacq_module* module = Opened();
    bus.driver.faulty = true;
    EXPECT_EQ(Read(module, 100).second, RNGACQ_ERROR_INTERNAL);
    EXPECT_EQ(rngacq_close(module), RNGACQ_ERROR_INTERNAL);
  }

  Bus bus("devices=1");
  std::size_t done = 0;
  std::uint8_t byte = 0;
  rngacq_module* module = Opened();
  EXPECT_EQ(rngacq_open(nullptr, nullptr), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_set_mode(module, 5), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_read(module, nullptr, 1, &done), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_read(module, &byte, 1, nullptr), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_read(nullptr, &byte, 1, &done), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_info(module, nullptr), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_list(nullptr, 1, &done), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(rngacq_close(module), 0);
  EXPECT_EQ(rngacq_close(nullptr), 0);

  // Each value its own text; unknown values one text of their own.
  std::set<std::string> texts;
  for (int error = RNGACQ_OK; error >= RNGACQ_ERROR_INTERNAL; --error) texts.insert(rngacq_strerror(error));
  EXPECT_EQ(texts.size(), 16u);
  EXPECT_EQ(texts.count(rngacq_strerror(-99)), 0u) << rngacq_strerror(-99);
  EXPECT_TRUE(Holds(rngacq_strerror(RNGACQ_ERROR_ACCESS_DENIED), "udev"));
  EXPECT_STREQ(rngacq_version(), RNGACQ_VERSION);
}

TEST(Library, SelectorsListsAndTwoModulesAtOnce) {
  Bus bus("devices=3,vid=abcd,pid=0001,speed=full");
  rngacq_module_info infos[2] = {};
  std::size_t count = 0;
  ASSERT_EQ(rngacq_list(infos, 2, &count), 0);
  EXPECT_EQ(count, 3u);
  const rngacq_module_info& second = infos[1];
  EXPECT_EQ(second.vendor_id, 0xABCD);
  EXPECT_EQ(second.product_id, 0x0001);
  EXPECT_EQ(second.high_speed, 0);
  EXPECT_STREQ(second.serial, "SIM-00000002");
  EXPECT_STREQ(second.driver_version, "1.5.5.0");
  EXPECT_STREQ(second.product, "Simulated random-number module");
  ASSERT_EQ(rngacq_list(nullptr, 0, &count), 0);
  EXPECT_EQ(count, 3u);

  // serial=, index= and id= (an ID outside any table) pick the module they name.
  for (const auto& [selector, serial] :
       {std::pair{"serial=SIM-00000003", "SIM-00000003"}, {"index=1", "SIM-00000002"}}) {
    SCOPED_TRACE(selector);
    rngacq_module* module = Opened(selector);
    rngacq_module_info info{};
    ASSERT_EQ(rngacq_info(module, &info), 0);
    EXPECT_STREQ(info.serial, serial);
    rngacq_close(module);
  }
  rngacq_module* module = nullptr;
  EXPECT_EQ(rngacq_open("id=abcd:0001", &module), RNGACQ_ERROR_SEVERAL_MODULES);

  // Two modules read at once from two threads: each gives its own stream, in both modes.
  rngacq_module* first = Opened("index=0");
  rngacq_module* third = Opened("serial=SIM-00000003");
  EXPECT_EQ(rngacq_set_mode(third, RNGACQ_MODE_RAW), 0);
  std::vector<std::uint8_t> a;
  std::thread reader([&] { a = Read(first, 100000).first; });
  const auto b = Read(third, 100000).first;
  reader.join();
  EXPECT_TRUE(SameBytes(a, sim::ExpectedRecord(1, 0, 100000))) << "the first module's stream";
  EXPECT_TRUE(SameBytes(b, sim::ExpectedRecord(3, 0, 100000))) << "the third module's stream";
  EXPECT_EQ(rngacq_close(first), 0);
  EXPECT_EQ(rngacq_close(third), 0);
}

// Sets the simulated module's configuration; nullptr removes it.
void SetSimulation(const char* text) {
#ifdef _WIN32
  _putenv_s("RNGACQ_SIM", text != nullptr ? text : "");
#else
  if (text != nullptr)
    setenv("RNGACQ_SIM", text, 1);
  else
    unsetenv("RNGACQ_SIM");
#endif
}

// The library's own simulated module is configured by RNGACQ_SIM: a malformed text makes the
// calls fail with an invalid argument, and neither prints nor ends the process.
TEST(Library, AMalformedSimulationIsAnInvalidArgument) {
  testing_support::CapturedConsole console;
  SetSimulation("devices=many");
  rngacq_module* module = nullptr;
  EXPECT_EQ(rngacq_open(nullptr, &module), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(module, nullptr);
  std::size_t count = 7;
  EXPECT_EQ(rngacq_list(nullptr, 0, &count), RNGACQ_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(console.out, "");
  SetSimulation("devices=2");
  EXPECT_EQ(rngacq_list(nullptr, 0, &count), 0) << "the library tries again";
  EXPECT_EQ(count, 2u);
  SetSimulation(nullptr);
}

// A serial number has at most 127 characters (the identification's field holds 128 bytes with
// its end): a selector naming a longer one can match no module and is refused as such.
TEST(Library, ASerialSelectorOfMoreThan127CharactersIsInvalid) {
  const std::string longest = "serial=" + std::string(127, 'S'), longer = "serial=" + std::string(128, 'S');
  EXPECT_EQ(OpenOn("devices=1", longest.c_str()), RNGACQ_ERROR_NO_MATCH);
  EXPECT_EQ(OpenOn("devices=1", longer.c_str()), RNGACQ_ERROR_INVALID_ARGUMENT);
}

// The library and the program are two ways to the same module: for the same stream and record
// lengths they deliver the same bytes, the program into its files.
TEST(Library, DeliversTheBytesTheProgramWritesForTheSameModuleAndLengths) {
  const testing_support::ScratchDir dir;
  const std::string program = testing_support::InstallProgram(RNGACQ_SIM_PROGRAM, dir.path().string());
  const auto run = testing_support::RunProgram(program, {"p.bin", "/LEN=5000", "/FILES=2"},
                                               dir.path().string(), {"RNGACQ_SIM=seed=7"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  std::vector<std::string> written;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().extension() == ".bin") written.push_back(entry.path().filename().string());
  std::ranges::sort(
      written, [](const std::string& a, const std::string& b) { return (a == "p.bin") > (b == "p.bin"); });
  ASSERT_EQ(written.size(), 2u);

  Bus bus("seed=7");
  rngacq_module* module = Opened();
  for (const std::string& name : written) {
    SCOPED_TRACE(name);
    const auto [data, result] = Read(module, 5000);
    EXPECT_EQ(result, 0);
    const std::string file = testing_support::ReadFile(dir / name);
    EXPECT_TRUE(SameBytes(data, std::vector<std::uint8_t>(file.begin(), file.end())));
  }
  EXPECT_EQ(rngacq_close(module), 0);
}

}  // namespace
