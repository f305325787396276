// The shipped program and library, unmodified, against the fake vendor driver: enumeration, the
// open sequence, every driver request and the overlapped exchange, as a user of a real module
// would meet them. The driver's modules are steered through its control device.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "drivers/sim/module_model.h"
#include "fake_control.h"
#include "platform/windows/win32.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Holds;
using testing_support::ProgramResult;
using testing_support::SameBytes;

// One module as the test wants it; the defaults are a healthy module on a current driver.
struct Slot {
  bool plugged = false;
  bool high_speed = true;
  std::optional<std::uint8_t> status_nibble{}, end_nibble{};
  std::uint32_t driver_version = 0x01050500;
  std::uint32_t short_answer = 0, short_send = 0, unplug_after = 0;
  bool silent = false, abort_ineffective = false;
  std::uint64_t seed = 0;  // 0: the slot's own, its number plus one
};
using Slots = std::array<Slot, FAKE_SLOTS>;

struct SlotState {
  bool started = false, removed = false;
  std::uint32_t answered = 0, open = 0, queued = 0, aborts = 0;
};

void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint32_t Get32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

std::vector<std::uint8_t> EncodeConfiguration(const Slots& slots) {
  std::vector<std::uint8_t> record(FAKE_CONFIG_SIZE, 0);
  Put32(record.data(), FAKE_MAGIC);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Slot& s = slots[i];
    std::uint8_t* r = record.data() + 8 + i * FAKE_SLOT_SIZE;
    r[FAKE_SLOT_PLUGGED] = s.plugged;
    r[FAKE_SLOT_HIGH_SPEED] = s.high_speed;
    r[FAKE_SLOT_STATUS_NIBBLE] = s.status_nibble.value_or(0xFF);
    r[FAKE_SLOT_END_NIBBLE] = s.end_nibble.value_or(0xFF);
    Put32(r + FAKE_SLOT_DRIVER_VERSION, s.driver_version);
    Put32(r + FAKE_SLOT_SHORT_ANSWER, s.short_answer);
    Put32(r + FAKE_SLOT_SHORT_SEND, s.short_send);
    Put32(r + FAKE_SLOT_UNPLUG_AFTER, s.unplug_after);
    r[FAKE_SLOT_SILENT] = s.silent;
    r[FAKE_SLOT_ABORT_INEFFECTIVE] = s.abort_ineffective;
    const std::uint64_t seed = s.seed != 0 ? s.seed : i + 1;
    Put32(r + FAKE_SLOT_SEED, static_cast<std::uint32_t>(seed));
    Put32(r + FAKE_SLOT_SEED + 4, static_cast<std::uint32_t>(seed >> 32));
  }
  return record;
}

// The driver's control device. A Wine session that ended takes the driver with it; the next
// one brings it back a moment after it starts, hence the wait.
class Control {
 public:
  Control() {
    for (int waited = 0; waited < 30000 && !Ready(); waited += 100) Sleep(100);
  }
  ~Control() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  bool Configure(const Slots& slots) {
    const std::vector<std::uint8_t> record = EncodeConfiguration(slots);
    DWORD returned = 0;
    return DeviceIoControl(handle_, FAKE_IOCTL_CONFIGURE, const_cast<std::uint8_t*>(record.data()),
                           static_cast<DWORD>(record.size()), nullptr, 0, &returned, nullptr) != 0;
  }

  std::optional<std::array<SlotState, FAKE_SLOTS>> Query() {
    std::uint8_t record[FAKE_STATE_RECORD_SIZE] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, FAKE_IOCTL_QUERY, nullptr, 0, record, sizeof record, &returned, nullptr) ||
        returned != sizeof record || Get32(record) != FAKE_MAGIC)
      return std::nullopt;
    std::array<SlotState, FAKE_SLOTS> states;
    for (std::size_t i = 0; i < states.size(); ++i) {
      const std::uint8_t* s = record + 8 + i * FAKE_STATE_SIZE;
      states[i] = {s[FAKE_STATE_STARTED] != 0, s[FAKE_STATE_REMOVED] != 0,   Get32(s + FAKE_STATE_ANSWERED),
                   Get32(s + FAKE_STATE_OPEN), Get32(s + FAKE_STATE_QUEUED), Get32(s + FAKE_STATE_ABORTS)};
    }
    return states;
  }

 private:
  bool Ready() {
    if (handle_ == INVALID_HANDLE_VALUE)
      handle_ =
          CreateFileA(FAKE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const auto states = Query();
    return states && std::ranges::all_of(*states, [](const SlotState& s) { return s.started; });
  }
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class FakeDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control.Query().has_value()) << "the fake driver does not answer (is it installed?)";
  }
  // Whatever a test attached, the next one (and the tests expecting no module) start without.
  void TearDown() override { EXPECT_TRUE(control.Configure({})); }

  void Attach(Slots slots) { ASSERT_TRUE(control.Configure(slots)); }
  void Attach(Slot slot = {}) {
    slot.plugged = true;
    Attach(Slots{slot});
  }

  ProgramResult Run(const std::vector<std::string>& arguments) {
    return testing_support::RunProgram(program, arguments, dir.path().string());
  }
  std::string File(const std::string& name) const { return testing_support::ReadFile(dir / name); }
  static std::string Record(std::int64_t length, std::uint64_t seed = 1, std::uint64_t offset = 0) {
    const auto bytes = sim::ExpectedRecord(seed, offset, length);
    return std::string(bytes.begin(), bytes.end());
  }
  // Every handle the program opened is closed and no transfer is left with the driver.
  void ExpectReleased() {
    const auto states = control.Query();
    ASSERT_TRUE(states.has_value());
    for (std::size_t i = 0; i < states->size(); ++i) {
      EXPECT_EQ((*states)[i].open, 0u) << "handles open on slot " << i;
      EXPECT_EQ((*states)[i].queued, 0u) << "transfers queued on slot " << i;
    }
  }

  Control control;
  testing_support::ScratchDir dir;
  const std::string program = testing_support::InstallProgram(RNGACQ_PROGRAM, dir.path().string());
};

TEST_F(FakeDriver, WritesTheModulesBytesThroughBothTransferFormsAtBothSpeeds) {
  // The direct form with a current driver, the buffered one with an older driver.
  struct Setup {
    Slot slot;
    std::string identification;
  };
  const Setup setups[] = {
      {.slot = {}, .identification = "USB 2.0;Driver version 1.5.5.0;"},
      {.slot = {.driver_version = 0x01040302}, .identification = "USB 2.0;Driver version 1.4.3.2;"},
      {.slot = {.high_speed = false}, .identification = "USB 1.1;Driver version 1.5.5.0;"},
      {.slot = {.high_speed = false, .driver_version = 0x01000000},
       .identification = "USB 1.1;Driver version 1.0.0.0;"},
  };
  for (const auto& [slot, identification] : setups) {
    for (const std::int64_t length : {1, 1983, 1984, 1985, 10000}) {
      SCOPED_TRACE(identification + " /LEN=" + std::to_string(length));
      Attach(slot);  // a module goes on with its stream from run to run: each starts afresh
      const ProgramResult r = Run({"m.bin", "/LEN=" + std::to_string(length)});
      ASSERT_EQ(r.exit_code, 0) << r.out;
      EXPECT_TRUE(Holds(r.out, "Random-number module: " + identification +
                                   "\n  VendorID=1209h;ProductID=0001h;SerialNumber=FAKE0001\n"));
      EXPECT_TRUE(SameBytes(File("m.bin"), Record(length)));
      EXPECT_TRUE(Holds(File("m.wrn"), "Record length: " + std::to_string(length) + " bytes"));
      ExpectReleased();
    }
  }

  // Several files: the second goes on with the stream after the whole frames the first took;
  // the raw mode asks the module for its other generator.
  Attach();
  const ProgramResult two = Run({"a.bin", "/LEN=5000", "/FILES=2", "/RNDNOP"});
  ASSERT_EQ(two.exit_code, 0) << two.out;
  std::vector<fs::path> later;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    if (std::regex_match(entry.path().filename().string(), std::regex("[0-9A-F]{8}\\.bin")))
      later.push_back(entry.path());
  ASSERT_EQ(later.size(), 1u);
  EXPECT_TRUE(SameBytes(File("a.bin"), Record(5000)));
  EXPECT_TRUE(SameBytes(testing_support::ReadFile(later[0].string()), Record(5000, 1, 5008)));
  EXPECT_TRUE(Holds(File("a.wrn"), "Generator mode = 03h, RND_TST"));
}

TEST_F(FakeDriver, StandardOutputCarriesTheBytesUntranslated) {
  Attach();
  const ProgramResult r = Run({"/STDOUT", "/LEN=30000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The stream holds every byte value, \n and ^Z among them; text mode would have changed them.
  EXPECT_TRUE(SameBytes(r.out, Record(30000)));
  EXPECT_TRUE(Holds(r.err, "\n\nData file (1/1): -\nRecord length: 30000 bytes"));
}

// A reader that closes the pipe ends an endless stream as a success: the bytes delivered said,
// no prompt, nothing left with the driver. A Windows pipe and a Unix one (a shell pipeline under
// Wine) report the reader's leaving with different errors.
TEST_F(FakeDriver, AReaderThatLeavesEndsTheStreamNormally) {
  for (const bool unix_pipe : {false, true}) {
    SCOPED_TRACE(unix_pipe ? "Unix pipe" : "Windows pipe");
    Attach();
    ProgramResult r;
    if (unix_pipe) {
      // Wine does not wait for a Unix program it started: the pipeline says when it is over.
      const std::string pipeline = "{ wine ./" + fs::path(program).filename().string() +
                                   " /STDOUT /STREAM 2>err.txt; echo $? >status.txt; } | head -c 1000000 "
                                   ">out.bin; mv status.txt exit.txt";
      testing_support::RunProgram("/bin/sh", {"-c", pipeline}, dir.path().string());
      for (int waited = 0; waited < 60000 && !fs::exists(dir / "exit.txt"); waited += 50) Sleep(50);
      ASSERT_TRUE(fs::exists(dir / "exit.txt")) << "the pipeline did not end";
      r = {std::stoi(File("exit.txt")), File("out.bin"), File("err.txt")};
    } else {
      r = testing_support::RunProgramLeavingAfter(1000000, program, {"/STDOUT", "/STREAM"},
                                                  dir.path().string());
    }
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(SameBytes(r.out, Record(1000000)));
    std::smatch delivered;
    ASSERT_TRUE(std::regex_search(
        r.err, delivered, std::regex(R"(\nThe reader closed standard output\. Bytes delivered: (\d+)\n)")))
        << r.err;
    // The count is of writes the system confirmed. A write the reader cut off may confirm none
    // of its bytes, though the reader took some: the count may fall short of what was read by
    // at most one write (the stream writes 64 KiB at a time).
    EXPECT_GE(std::stoll(delivered[1]), 1000000 - 64 * 1024);
    EXPECT_FALSE(Holds(r.err, "press any key"));
    ExpectReleased();
  }
}

TEST_F(FakeDriver, ListsTwoModulesAndTakesTheOneSelected) {
  Attach(Slots{Slot{.plugged = true}, Slot{.plugged = true}, Slot{.plugged = true}});
  const ProgramResult list = Run({"/LIST"});
  EXPECT_EQ(list.exit_code, 0) << list.out;
  EXPECT_TRUE(Holds(list.out,
                    "\n0  1209:0001  USB 2.0  FAKE0001  Fake random-number module\n"
                    "1  1209:0001  USB 2.0  FAKE0002  Fake random-number module\n"
                    "2  1209:0002  USB 2.0  FAKE0003  Fake random-number module\n"));
  EXPECT_FALSE(Holds(list.out, "press any key"));

  const ProgramResult several = Run({"s.bin"});
  EXPECT_EQ(several.exit_code, 1);
  EXPECT_TRUE(Holds(several.out, "More than one random-number module is attached."));
  EXPECT_FALSE(fs::exists(dir / "s.bin"));

  // Each selector reaches its own module, whose own stream fills the file.
  struct Pick {
    std::string selector, identity;
    std::uint64_t seed;  // of the module's stream
  };
  const Pick picks[] = {
      {.selector = "/SERIAL=FAKE0002", .identity = "ProductID=0001h;SerialNumber=FAKE0002", .seed = 2},
      {.selector = "/DEVICE=1209:0002", .identity = "ProductID=0002h;SerialNumber=FAKE0003", .seed = 3},
  };
  for (const auto& [selector, identity, seed] : picks) {
    SCOPED_TRACE(selector);
    Attach(Slots{Slot{.plugged = true}, Slot{.plugged = true}, Slot{.plugged = true}});
    const ProgramResult r = Run({"p.bin", "/LEN=5000", selector});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(Holds(r.out, identity)) << selector;
    EXPECT_TRUE(SameBytes(File("p.bin"), Record(5000, seed))) << selector;
  }
  const ProgramResult missing = Run({"none.bin", "/SERIAL=FAKE0009"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_TRUE(Holds(missing.out, "No random-number module is attached."));
  ExpectReleased();
}

// Each fault ends the run with exit 1 after the prompt and keeps what was written.
TEST_F(FakeDriver, FaultsEndTheRunWithTheirMessageAndKeepWhatWasWritten) {
  struct Case {
    Slot slot;
    std::string printed;
    std::size_t kept;  // bytes
  };
  const Case cases[] = {
      {.slot = {.status_nibble = 3}, .printed = "does not match the generator mode: 03h.", .kept = 0},
      {.slot = {.short_answer = 16}, .printed = "answer was shorter than asked.", .kept = 0},
      {.slot = {.short_send = 16}, .printed = "The module took only part of the command.", .kept = 0},
      {.slot = {.unplug_after = 2}, .printed = "stopped answering", .kept = 2 * 1984},
  };
  for (const auto& [slot, printed, kept] : cases) {
    SCOPED_TRACE(printed);
    for (const char* name : {"f.bin", "f.wrn"}) fs::remove(dir / name);
    Attach(slot);
    const ProgramResult r = Run({"f.bin"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Holds(r.out, printed));
    EXPECT_TRUE(Holds(r.out, "...press any key to exit."));
    EXPECT_TRUE(SameBytes(File("f.bin"), Record(10000).substr(0, kept)));
    EXPECT_TRUE(Holds(File("f.wrn"), "Data file (1/1): f.bin"));
    ExpectReleased();
  }
  // The module pulled out is gone for the next run as well.
  const ProgramResult after = Run({"g.bin"});
  EXPECT_EQ(after.exit_code, 1);
  EXPECT_TRUE(Holds(after.out, "No random-number module is attached."));

  // A wrong end nibble is a warning in the log; the record is whole.
  Attach(Slot{.end_nibble = 9});
  const ProgramResult warned = Run({"w.bin"});
  EXPECT_EQ(warned.exit_code, 0) << warned.out;
  EXPECT_TRUE(SameBytes(File("w.bin"), Record(10000)));
  EXPECT_TRUE(Holds(warned.out, "unexpected status: len=80;blen=5;"));

  // Nothing attached.
  Attach(Slots{});
  const ProgramResult none = Run({"n.bin"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_TRUE(Holds(none.out, "No random-number module is attached."));
  EXPECT_FALSE(fs::exists(dir / "n.bin"));
}

// The two cases that wait out the program's real time-outs: 9 s for the answer, then 2 s for
// the abort to take effect.
TEST_F(FakeDriver, AModuleThatFallsSilentTimesOutWhetherOrNotTheAbortEndsItsTransfers) {
  for (const bool abort_ineffective : {false, true}) {
    SCOPED_TRACE(abort_ineffective ? "abort ineffective" : "abort effective");
    Attach(Slot{.silent = true, .abort_ineffective = abort_ineffective});
    const ProgramResult r = Run({"t.bin"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Holds(r.out, "Receiving the module's answer timed out....press any key to exit."));
    EXPECT_EQ(File("t.bin"), "");
    // Both pipes were aborted; what an abort left, the handle's closing ended.
    EXPECT_EQ(control.Query().value()[0].aborts, 2u);
    ExpectReleased();
  }
}

TEST_F(FakeDriver, TheCExampleReadsTheSameBytesThroughTheLibrary) {
  Attach(Slots{Slot{.plugged = true}, Slot{.plugged = true}});
  // The program finds the library beside it, as an installed copy would.
  const fs::path example = dir.path() / fs::path(RNGACQ_EXAMPLE_PROGRAM).filename();
  fs::copy_file(RNGACQ_EXAMPLE_PROGRAM, example);
  fs::copy_file(RNGACQ_LIBRARY, dir.path() / fs::path(RNGACQ_LIBRARY).filename());
  const ProgramResult r =
      testing_support::RunProgram(example.string(), {"100000", "serial=FAKE0002"}, dir.path().string());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(SameBytes(r.out, Record(100000, 2)));

  const ProgramResult ambiguous = testing_support::RunProgram(example.string(), {"10"}, dir.path().string());
  EXPECT_EQ(ambiguous.exit_code, 1);
  EXPECT_TRUE(Holds(ambiguous.err, "more than one")) << ambiguous.err;
  ExpectReleased();
}

}  // namespace
