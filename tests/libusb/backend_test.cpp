// The libusb provider on an emulated bus: counting, opening and identifying by ID, a block carried
// into the caller's buffer, abort and close of transfers in flight, the C interface's stream and
// faults, and the real program's choice by ID, candidate list and permission message.
#include <libusb.h>

#include "rngacq/rngacq.h"

#include <algorithm>
#include <span>
#include <thread>

#include "core/library_provider.h"
#include "core/module.h"
#include "drivers/libusb/libusb_provider.h"
#include "libusb/emulated_module.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

using testing_support::Holds;
using testing_support::RunProgram;
using testing_support::SameBytes;

class LibusbBackend : public ::testing::Test {
 protected:
  void SetUp() override { emulated::SkipOrFailWithoutEmulation(); }
};

// One emulated module, opened through the provider. The module is plugged in before libusb
// starts: a hot-plug notice handled by libusb's event thread while the main thread enumerates
// races inside libudev, which ThreadSanitizer reports.
struct OpenedModule {
  explicit OpenedModule(emulated::DeviceOptions options = {.seed = 11}) {
    bus.Add(options);
    provider = libusb::MakeLibusbProvider();
    device = provider->Open(kIds, 0, failure);
  }
  static constexpr std::array<usb::UsbId, 1> kIds{usb::UsbId{0x1234, 0x5678}};
  emulated::Testbed bus;
  std::unique_ptr<usb::access::Provider> provider;
  usb::OpenFailure failure;
  std::unique_ptr<usb::access::Device> device;
};

// One block request (1984 bytes, generator mode 7): four command frames.
std::vector<std::uint8_t> BlockCommand() {
  std::vector<std::uint8_t> command;
  using protocol::Signature;
  for (const auto& frame :
       {protocol::CommandFrame(Signature::C0DE, 0, 3, 0), protocol::CommandFrame(Signature::C0DE, 4, 0, 7),
        protocol::CommandFrame(Signature::DA7A, 0, 0, 124),
        protocol::CommandFrame(Signature::C0DE, 0x10, 0, 0)})
    command.insert(command.end(), frame.begin(), frame.end());
  return command;
}

TEST_F(LibusbBackend, CountsOpensAndIdentifiesTheModulesWithTheGivenIds) {
  emulated::Testbed bus;
  bus.Add({.high_speed = false});
  bus.Add({.product = 0x9999, .serial = "B-7"});
  bus.Add({.product = 0x7777, .claimed_elsewhere = true});  // all plugged in before libusb starts
  const auto provider = libusb::MakeLibusbProvider();
  const std::array<usb::UsbId, 1> first{usb::UsbId{0x1234, 0x5678}};
  const std::array<usb::UsbId, 2> both{usb::UsbId{0x1234, 0x9999}, usb::UsbId{0x1234, 0x5678}};
  EXPECT_EQ(provider->CountDevices({}), 0) << "no ID is built in here";
  EXPECT_EQ(provider->CountDevices(first), 1);
  EXPECT_EQ(provider->CountDevices(both), 2);

  // In bus and address order, whatever the order of the IDs.
  usb::OpenFailure failure;
  const auto second = provider->Open(both, 1, failure);
  ASSERT_NE(second, nullptr) << failure.reason;
  EXPECT_EQ(second->Identify().serial, "B-7");
  EXPECT_TRUE(second->Identify().high_speed);
  const auto device = provider->Open(first, 0, failure);
  ASSERT_NE(device, nullptr) << failure.reason;
  const usb::access::Identity& identity = device->Identify();
  EXPECT_EQ(identity.serial, "EMU-0001");
  EXPECT_EQ(identity.product, "Emulated RNG module");
  EXPECT_FALSE(identity.high_speed);
  EXPECT_TRUE(SameBytes(identity.device_descriptor,
                        std::vector<std::uint8_t>{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56,
                                                  0x00, 0x01, 1, 2, 3, 1}));
  EXPECT_NE(device->BulkInEndPoint(), nullptr);
  EXPECT_NE(device->BulkOutEndPoint(), nullptr);

  EXPECT_EQ(provider->Open(first, 1, failure), nullptr) << "an index past the modules";
  EXPECT_EQ(failure.reason, "the module left before it could be opened");
  // A module another program holds is named with the system's words, not as a permission matter.
  const std::array<usb::UsbId, 1> held{usb::UsbId{0x1234, 0x7777}};
  failure = {};
  EXPECT_EQ(provider->Open(held, 0, failure), nullptr);
  EXPECT_FALSE(failure.access_denied);
  EXPECT_EQ(failure.reason, "/dev/bus/usb/001/004: Resource busy");
  std::string words;
  EXPECT_EQ(bus.Device(0).Released(), 0);
  EXPECT_TRUE(device->Close(words));
  EXPECT_EQ(bus.Device(0).Released(), 1) << "closing hands the interface back";
  EXPECT_EQ(device->BulkInEndPoint(), nullptr) << "the endpoints go with the close";
  EXPECT_TRUE(device->Close(words)) << "a second close";
}

TEST_F(LibusbBackend, CarriesABlockIntoTheCallersBufferAndEndsTransfersOnAbortOrClose) {
  // The buffers outlive the module: a failed expectation must not free one under a transfer.
  std::vector<std::uint8_t> command = BlockCommand();
  std::vector<std::uint8_t> answer(2048);
  OpenedModule module;
  ASSERT_NE(module.device, nullptr) << module.failure.reason;
  usb::access::EndPoint& in = *module.device->BulkInEndPoint();
  usb::access::EndPoint& out = *module.device->BulkOutEndPoint();
  using usb::access::Start;

  ASSERT_TRUE(in.Prepare());
  ASSERT_EQ(in.BeginTransfer(answer.data(), 2048), Start::Pending);
  EXPECT_FALSE(in.WaitForTransfer(50)) << "it waits for the command";
  EXPECT_EQ(in.BeginTransfer(answer.data(), 2048), Start::Refused) << "one transfer at a time";
  ASSERT_EQ(out.BeginTransfer(command.data(), 64), Start::Pending);
  ASSERT_TRUE(out.WaitForTransfer(5000)) << "the command";
  ASSERT_TRUE(in.WaitForTransfer(5000)) << "the answer";
  EXPECT_EQ(out.FinishTransfer().length, 64);
  const usb::access::Finished got = in.FinishTransfer();
  EXPECT_TRUE(got.success);
  ASSERT_EQ(got.length, 2048);
  EXPECT_EQ(answer[31] & 0x0F, 7);
  // The data frames, between the three header frames and the end frame.
  EXPECT_TRUE(SameBytes(std::span(answer).subspan(48, 1984), sim::ExpectedRecord(11, 0, 1984)));

  // With nothing asked, a receive stays pending until its pipe is aborted.
  ASSERT_EQ(in.BeginTransfer(answer.data(), 2048), Start::Pending);
  EXPECT_FALSE(in.WaitForTransfer(50));
  in.Abort();
  ASSERT_TRUE(in.WaitForTransfer(2000));
  const usb::access::Finished aborted = in.FinishTransfer();
  EXPECT_FALSE(aborted.success);
  EXPECT_EQ(aborted.length, 0);
  EXPECT_FALSE(aborted.unplugged);
  EXPECT_EQ(in.StrandedTransfers(), 0u);

  EXPECT_EQ(in.BeginTransfer(answer.data(), -1), Start::Refused) << "a negative length";
  EXPECT_FALSE(in.FinishTransfer().success);

  // A transfer still in flight when the device is closed is cancelled, not abandoned.
  ASSERT_EQ(in.BeginTransfer(answer.data(), 64), Start::Pending);
  std::string words;
  EXPECT_TRUE(module.device->Close(words));
  EXPECT_EQ(module.device->BulkInEndPoint(), nullptr);
}

// Each waiting thread handles libusb's events in turn: two modules read from two threads at once
// both deliver their whole streams.
TEST_F(LibusbBackend, TwoModulesAreReadAtOnceFromTwoThreads) {
  emulated::Testbed bus;
  bus.Add({.seed = 5});
  bus.Add({.serial = "EMU-0002", .seed = 6});
  const auto provider = libusb::MakeLibusbProvider();
  std::array<std::unique_ptr<core::Module>, 2> modules;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    core::Selector selector;
    selector.kind = core::Selector::Kind::Index;
    selector.index = i;
    selector.ids = {usb::UsbId{0x1234, 0x5678}};
    core::OpenReport report;
    ASSERT_EQ(core::Module::Open(*provider, selector, modules[i], report), core::Error::None)
        << report.reason;
  }
  std::array<std::vector<std::uint8_t>, 2> data{std::vector<std::uint8_t>(100000),
                                                std::vector<std::uint8_t>(100000)};
  std::array<core::Error, 2> errors{};
  std::array<std::size_t, 2> done{};
  std::thread second([&] { errors[1] = modules[1]->Read(data[1].data(), data[1].size(), done[1]); });
  errors[0] = modules[0]->Read(data[0].data(), data[0].size(), done[0]);
  second.join();
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("module " + std::to_string(i));
    EXPECT_EQ(errors[i], core::Error::None);
    EXPECT_EQ(done[i], data[i].size());
    EXPECT_TRUE(SameBytes(data[i], sim::ExpectedRecord(5 + i, 0, 100000)));
  }
}

// The C interface over real libusb: the emulated module, picked by its ID, gives its stream and
// its identification at either speed; a fault after two blocks keeps the blocks before it.
TEST_F(LibusbBackend, TheLibraryReadsTheModulesStream) {
  // libusb's own version stands for the driver's; a part beyond a byte shows as 255.
  const libusb_version* v = libusb_get_version();
  std::string version;
  for (const unsigned part : {v->major, v->minor, v->micro, v->nano})
    version += (version.empty() ? "" : ".") + std::to_string(std::min(part, 255u));
  using emulated::Fault;
  struct Case {
    const char* name;
    bool high_speed;
    Fault fault;
    int error;
  };
  for (const auto& [name, high_speed, fault, error] :
       {Case{.name = "high speed", .high_speed = true, .fault = Fault::None, .error = 0},
        Case{.name = "full speed", .high_speed = false, .fault = Fault::None, .error = 0},
        Case{.name = "unplugged",
        .high_speed = true,
        .fault = Fault::Unplug,
        .error = RNGACQ_ERROR_MODULE_GONE},
        Case{.name = "short answer",
        .high_speed = true,
        .fault = Fault::ShortAnswer,
        .error = RNGACQ_ERROR_SHORT_TRANSFER},
        Case{.name = "stalled",
        .high_speed = true,
        .fault = Fault::Stall,
        .error = RNGACQ_ERROR_SHORT_TRANSFER}}) {
    SCOPED_TRACE(name);
    emulated::Testbed bus;
    bus.Add({.high_speed = high_speed, .fault = fault, .fault_at_request = 2});
    const auto provider = libusb::MakeLibusbProvider();
    core::SetLibraryProvider(provider.get());
    rngacq_module* module = nullptr;
    EXPECT_EQ(rngacq_open(nullptr, &module), RNGACQ_ERROR_NO_MODULE);  // no ID is built in here
    ASSERT_EQ(rngacq_open("id=1234:5678", &module), 0);
    rngacq_module_info info{};
    ASSERT_EQ(rngacq_info(module, &info), 0);
    EXPECT_EQ(info.high_speed, high_speed ? 1 : 0);
    EXPECT_EQ(info.driver_version, version);
    EXPECT_STREQ(info.serial, "EMU-0001");
    std::vector<std::uint8_t> data(5000);
    std::size_t done = 0;
    EXPECT_EQ(rngacq_read(module, data.data(), data.size(), &done), error);
    data.resize(done);
    EXPECT_TRUE(SameBytes(data, sim::ExpectedRecord(1, 0, fault == Fault::None ? 5000 : 2 * 1984)));
    EXPECT_EQ(rngacq_close(module), 0);
    core::SetLibraryProvider(nullptr);
  }
}

// The real program with the libusb backend: the choice by ID, the candidate list, the permission message.
using RngacqOnEmulatedBus = LibusbBackend;

TEST_F(RngacqOnEmulatedBus, TakesTheModuleWithTheGivenIdListsTheCandidatesOtherwiseAndNamesADeniedNode) {
  emulated::Testbed bus;
  bus.Add({});
  bus.Add({.product = 0x9999, .product_name = "Another board", .serial = "B-7", .seed = 7});
  // The program inherits the emulation (preload and testbed).
  testing_support::ScratchDir dir;
  const std::string folder = dir.path().string();
  for (const auto& arguments : {std::vector<std::string>{"none.bin"}, {"none.bin", "/DEVICE=abcd:0001"}}) {
    const auto run = RunProgram(RNGACQ_PROGRAM, arguments, folder);
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_TRUE(Holds(run.out, "\n  1234:5678 \"Emulated RNG module\" serial \"EMU-0001\""));
    EXPECT_TRUE(Holds(run.out, "\n  1234:9999 \"Another board\" serial \"B-7\""));
    EXPECT_FALSE(Holds(run.out, "VendorID="));
  }

  const auto run = RunProgram(RNGACQ_PROGRAM, {"data.bin", "/LEN=100", "/DEVICE=1234:9999"}, folder);
  ASSERT_EQ(run.exit_code, 0) << run.out;
  EXPECT_TRUE(Holds(run.out, "ProductID=9999h;SerialNumber=B-7"));
  const std::vector<std::uint8_t> record = sim::ExpectedRecord(7, 0, 100);
  EXPECT_TRUE(SameBytes(testing_support::ReadFile(dir / "data.bin"), record));

  // A user whom the device node refuses is told which node and which rule. Root passes any
  // permission, so root's run drops to nobody, who may not reach the build tree (a clone in root's
  // home): it runs a copy, with its catalogue, in `dir`.
  bus.DenyDeviceAccess();
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  std::vector<std::string> arguments{"denied.bin", "/DEVICE=1234:5678"};
  const bool root = geteuid() == 0;
  if (root)
    arguments.insert(arguments.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         testing_support::InstallProgram(RNGACQ_PROGRAM, folder)});
  const auto denied = RunProgram(root ? "/usr/bin/setpriv" : RNGACQ_PROGRAM, arguments, folder);
  EXPECT_EQ(denied.exit_code, 1) << denied.out;
  EXPECT_TRUE(
      Holds(denied.out, " /dev/bus/usb/001/002 (USB ID 1234:5678); the udev rule 60-rngacq.rules must list"));
  EXPECT_FALSE(Holds(denied.out, "VendorID="));
  // Candidates it may not open are listed with the node that refused, in place of their names.
  arguments.resize(arguments.size() - 2);
  arguments.insert(arguments.end(), {"none.bin", "/DEVICE=abcd:0001"});
  const auto listed = RunProgram(root ? "/usr/bin/setpriv" : RNGACQ_PROGRAM, arguments, folder);
  EXPECT_EQ(listed.exit_code, 1) << listed.out;
  EXPECT_TRUE(Holds(listed.out,
                    "\n  1234:5678 (no permission to read its product and serial: /dev/bus/usb/001/002)"));
}

// /RECONNECT on the real bus: the module is unplugged mid-record, another module arrives, then
// the first comes back at a new address. The record goes on from the returning module only, and
// holds exactly what each plug-in gave, in order.
TEST_F(RngacqOnEmulatedBus, ARecordGoesOnThroughAnUnplugFromTheSameModuleOnly) {
  emulated::Testbed bus;
  bus.Add({.seed = 3, .fault = emulated::Fault::Unplug, .fault_at_request = 3});
  testing_support::ScratchDir dir;
  testing_support::StartedProgram program(
      RNGACQ_PROGRAM, {"/STDOUT", "/LEN=10000", "/RECONNECT", "/DEVICE=1234:5678", "x", "r"},
      dir.path().string());
  // What the first plug-in gave reaches the reader before the wait.
  EXPECT_TRUE(SameBytes(program.Read(3 * 1984), sim::ExpectedRecord(3, 0, 3 * 1984)));
  ASSERT_TRUE(bus.Device(0).Gone());
  bus.Remove(0);
  bus.PlugIn({.product_name = "A stranger", .serial = "EMU-0002", .seed = 9});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  bus.PlugIn({.seed = 4});
  const testing_support::ProgramResult r = program.Finish();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(SameBytes(r.out, sim::ExpectedRecord(4, 0, 10000 - 3 * 1984)));
  const std::string log = testing_support::ReadFile(dir / "r.wrn");
  EXPECT_TRUE(Holds(log,
                    "\nWaiting for the module to return. Bytes delivered so far: 5952 bytes\n"
                    "The module is back, the data and the health tests go on from byte 5952"))
      << log;
}

}  // namespace
