// The libusb backend on an emulated device: the C interface's stream, identification and faults, and
// what the program's runs do not reach: the direct transfer form (asked only of drivers from 1.5.5
// on, so never of libusb 1.x), the close of transfers in flight, and requests it must refuse.
#include <libusb.h>

#include "rngacq/rngacq.h"

#include <algorithm>
#include <span>

#include "core/library_provider.h"
#include "core/module.h"
#include "drivers/libusb/libusb_driver.h"
#include "libusb/emulated_module.h"
#include "support/process.h"
#include "support/test_support.h"
#include "usb/vendor_provider.h"

namespace {

using testing_support::Holds;
using testing_support::RunProgram;
using testing_support::SameBytes;

// One overlapped data transfer in the direct form: the data stay in the caller's buffer.
struct Transfer {
  Transfer(usb::Driver& driver, usb::Handle handle, std::uint8_t endpoint, std::vector<std::uint8_t> bytes)
      : record{driver.CreateEvent(), nullptr}, data(std::move(bytes)) {
    std::vector<std::uint8_t> request(usb::kTransferRequestSize);
    usb::EncodeTransferRequest({.EndpointAddress = endpoint}, request);
    error = driver.RequestOverlapped(handle, usb::kRequestDirectTransfer, request.data(), 38, data.data(),
                                     static_cast<std::uint32_t>(data.size()), record);
  }
  bool Wait(std::uint32_t ms) { return record.event->Wait(ms) == usb::WaitResult::Signalled; }

  usb::CompletionRecord record;
  std::vector<std::uint8_t> data;
  std::uint32_t error = 0;
};

class LibusbBackend : public ::testing::Test {
 protected:
  void SetUp() override { emulated::SkipOrFailWithoutEmulation(); }
};

TEST_F(LibusbBackend, CarriesABlockDirectlyAndEndsTransfersOnAbortOrClose) {
  emulated::Testbed bus;
  bus.Add({.seed = 11});
  const auto driver = usb_libusb::MakeLibusbDriver();
  // A path whose ID is not the device's at that address opens nothing.
  usb::OpenFailure failure;
  EXPECT_EQ(driver->Open("usb:001:002:1234:9999", failure), usb::kInvalidHandle);
  EXPECT_EQ(failure.reason, "the device at /dev/bus/usb/001/002 is gone") << "its ID is another";
  EXPECT_EQ(driver->Open("usb:001:009:1234:5678", failure), usb::kInvalidHandle);
  EXPECT_EQ(failure.reason, "the device at /dev/bus/usb/001/009 is gone") << "no device at the address";
  const usb::Handle handle = driver->Open("usb:001:002:1234:5678", failure);
  ASSERT_NE(handle, usb::kInvalidHandle);

  // One block request (1984 bytes, generator mode 7): four command frames, 128 answer frames.
  std::vector<std::uint8_t> command;
  using core::Signature;
  for (const auto& frame :
       {core::CommandFrame(Signature::C0DE, 0, 3, 0), core::CommandFrame(Signature::C0DE, 4, 0, 7),
        core::CommandFrame(Signature::DA7A, 0, 0, 124), core::CommandFrame(Signature::C0DE, 0x10, 0, 0)})
    command.insert(command.end(), frame.begin(), frame.end());
  Transfer in(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(2048));
  ASSERT_EQ(in.error, usb::kErrorIoPending);
  EXPECT_FALSE(driver->Collect(handle, in.record).complete);  // it waits for the command
  Transfer out(*driver, handle, emulated::kBulkOut, command);
  ASSERT_TRUE(out.Wait(5000)) << "the command";
  ASSERT_TRUE(in.Wait(5000)) << "the answer";
  EXPECT_EQ(driver->Collect(handle, out.record).transferred, 64u);
  const usb::OverlappedOutcome got = driver->Collect(handle, in.record);
  ASSERT_TRUE(got.complete);
  ASSERT_TRUE(got.success);
  ASSERT_EQ(got.transferred, 2048u);
  EXPECT_EQ(in.data[31] & 0x0F, 7);
  // The data frames, between the three header frames and the end frame.
  EXPECT_TRUE(SameBytes(std::span(in.data).subspan(48, 1984), sim::ExpectedRecord(11, 0, 1984)));

  // With nothing asked, a receive stays pending until its pipe is aborted.
  Transfer waiting(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(2048));
  EXPECT_FALSE(waiting.Wait(50));
  EXPECT_FALSE(driver->Collect(handle, waiting.record).complete);
  std::uint8_t pipe = emulated::kBulkIn;
  std::uint32_t returned = 7;
  EXPECT_TRUE(driver->Request(handle, usb::kRequestAbortPipe, &pipe, 1, nullptr, 0, returned));
  EXPECT_EQ(returned, 0u);
  ASSERT_TRUE(waiting.Wait(2000));
  const usb::OverlappedOutcome aborted = driver->Collect(handle, waiting.record);
  EXPECT_TRUE(aborted.complete);
  EXPECT_FALSE(aborted.success);
  EXPECT_EQ(aborted.transferred, 0u);
  EXPECT_EQ(aborted.error, usb::kErrorOperationAborted);

  // Requests that do not fit their buffers are refused, and nothing is submitted.
  std::vector<std::uint8_t> bogus(38 + 16);
  usb::EncodeTransferRequest({.EndpointAddress = emulated::kBulkIn, .DataOffset = 38, .DataLength = 4096},
                             bogus);
  usb::CompletionRecord refused{driver->CreateEvent(), nullptr};
  EXPECT_EQ(driver->RequestOverlapped(handle, usb::kRequestBufferedTransfer, bogus.data(), 54, bogus.data(),
                                      54, refused),
            87u);
  EXPECT_FALSE(driver->Collect(handle, refused).success);
  std::uint8_t version[3] = {};
  EXPECT_FALSE(driver->Request(handle, usb::kRequestDriverVersion, version, 3, version, 3, returned));

  // A transfer still in flight when the device is closed is cancelled, not abandoned.
  Transfer left(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(64));
  ASSERT_EQ(left.error, usb::kErrorIoPending);
  EXPECT_TRUE(driver->Close(handle));
  EXPECT_TRUE(left.Wait(0) || driver->Collect(handle, left.record).complete);
  EXPECT_FALSE(driver->Close(handle));
  EXPECT_FALSE(driver->Request(handle, usb::kRequestBusSpeed, nullptr, 0, nullptr, 0, returned));
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
    const auto driver = usb_libusb::MakeLibusbDriver();
    usb::VendorDriverProvider provider(*driver);
    core::SetLibraryProvider(&provider);
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

// One emulated module, opened through the backend. The module is plugged in before libusb
// starts: a hot-plug notice handled by libusb's event thread while the main thread enumerates
// races inside libudev, which ThreadSanitizer reports.
struct OpenedModule {
  OpenedModule() {
    bus.Add({.seed = 11});
    driver = usb_libusb::MakeLibusbDriver();
    handle = driver->Open("usb:001:002:1234:5678", failure);
  }
  emulated::Testbed bus;
  std::unique_ptr<usb::Driver> driver;
  usb::OpenFailure failure;
  usb::Handle handle = usb::kInvalidHandle;
};

// What the backend cannot serve it refuses, with the system's own codes, and crashes on nothing.
TEST_F(LibusbBackend, RefusesWhatItCannotServe) {
  OpenedModule module;
  usb::Driver* const driver = module.driver.get();
  const usb::Handle handle = module.handle;
  ASSERT_NE(handle, usb::kInvalidHandle);

  const std::unique_ptr<usb::DeviceList> others = driver->ListPresent(usb::Guid{1, 2, 3, {}}, {});
  ASSERT_NE(others, nullptr);
  EXPECT_EQ(others->Enumerate(0), usb::kErrorNoMoreItems) << "another interface class lists no module";

  std::uint32_t returned = 7;
  EXPECT_FALSE(driver->Request(handle, usb::kRequestAbortPipe, nullptr, 0, nullptr, 0, returned))
      << "an abort that names no pipe";

  // Facts only the vendor driver has are answered as zeros of the size asked for.
  std::vector<std::uint8_t> facts(256, 0xFF);
  ASSERT_TRUE(driver->Request(handle, usb::kRequestInfoBlock1, nullptr, 0, facts.data(), 256, returned));
  EXPECT_EQ(returned, 256u);
  EXPECT_EQ(std::count(facts.begin(), facts.end(), 0), 256);

  std::vector<std::uint8_t> header(usb::kTransferRequestSize), data(64);
  usb::EncodeTransferRequest({.EndpointAddress = emulated::kBulkIn}, header);
  usb::CompletionRecord unknown{driver->CreateEvent(), nullptr};
  EXPECT_EQ(driver->RequestOverlapped(handle + 1000, usb::kRequestDirectTransfer, header.data(), 38,
                                      data.data(), 64, unknown),
            6u)
      << "a handle it never gave out";

  usb::CompletionRecord foreign{driver->CreateEvent(), nullptr};
  const usb::OverlappedOutcome collected = driver->Collect(handle, foreign);
  EXPECT_TRUE(collected.complete) << "a record no transfer of this backend started";
  EXPECT_FALSE(collected.success);
  EXPECT_EQ(collected.error, 87u);

  // A direct transfer may carry 16 MiB, not a byte more.
  Transfer too_long(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>((1u << 24) + 1));
  EXPECT_EQ(too_long.error, 87u);
  Transfer longest(*driver, handle, emulated::kBulkIn, std::vector<std::uint8_t>(1u << 24));
  EXPECT_EQ(longest.error, usb::kErrorIoPending);
  EXPECT_TRUE(driver->Close(handle));
}

// The shortest answer there is: one byte of the device descriptor, its length.
TEST_F(LibusbBackend, AControlTransferOfOneByteCarriesIt) {
  OpenedModule module;
  usb::Driver* const driver = module.driver.get();
  const usb::Handle handle = module.handle;
  ASSERT_NE(handle, usb::kInvalidHandle);
  std::vector<std::uint8_t> request(usb::kTransferRequestSize + 1);
  usb::EncodeTransferRequest({.bmRequestType = 0x80,
                              .bRequest = 6,
                              .wValue = 0x0100,
                              .wLength = 1,
                              .TimeoutSeconds = 5,
                              .DataOffset = usb::kTransferRequestSize,
                              .DataLength = 1},
                             request);
  usb::CompletionRecord record{driver->CreateEvent(), nullptr};
  ASSERT_EQ(driver->RequestOverlapped(handle, usb::kRequestControlTransfer, request.data(), 39,
                                      request.data(), 39, record),
            usb::kErrorIoPending);
  ASSERT_EQ(record.event->Wait(5000), usb::WaitResult::Signalled);
  const usb::OverlappedOutcome done = driver->Collect(handle, record);
  EXPECT_TRUE(done.success);
  EXPECT_EQ(done.transferred, 39u);
  EXPECT_EQ(request[38], 18) << "the descriptor's length";

  // Asked synchronously with an answer buffer of its own, the answer repeats the request's header.
  std::vector<std::uint8_t> answer(request.size(), 0xEE);
  std::uint32_t returned = 0;
  ASSERT_TRUE(
      driver->Request(handle, usb::kRequestControlTransfer, request.data(), 39, answer.data(), 39, returned));
  EXPECT_EQ(returned, 39u);
  EXPECT_EQ(answer[38], 18) << "the descriptor's length";
  EXPECT_EQ(usb::DecodeTransferRequest(answer).wValue, 0x0100);
  EXPECT_EQ(usb::DecodeTransferRequest(answer).DataLength, 1u);
  EXPECT_TRUE(driver->Close(handle));
}

}  // namespace
