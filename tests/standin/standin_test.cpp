// The libusb provider over a descriptor it did not open itself, against the benchmark's stand-in
// bus: the identity, a block carried end to end, and a receive that is aborted. This is also what
// keeps the benchmark of the libusb path from measuring a device that never opened.
#include <gtest/gtest.h>

#include <span>

#include "core/module.h"
#include "drivers/libusb/libusb_provider.h"
#include "drivers/sim/module_model.h"
#include "standin/usb_bus_standin.h"
#include "support/test_support.h"

namespace {

using testing_support::SameBytes;

TEST(SystemDevice, OpensIdentifiesAndCarriesBlocksOverTheStandInBus) {
  const int descriptor = standin::PlugIn(9);
  ASSERT_GE(descriptor, 0);
  const auto provider = libusb::MakeSystemDeviceProvider(descriptor);
  EXPECT_EQ(provider->CountDevices({}), 1);
  usb::OpenFailure failure;
  EXPECT_EQ(provider->Open({}, 1, failure), nullptr) << "it has one device only";

  std::unique_ptr<core::Module> module;
  core::OpenReport report;
  ASSERT_EQ(core::Module::Open(*provider, {}, module, report), core::Error::None) << report.reason;
  EXPECT_EQ(module->Info().serial, "STANDIN-0001");
  EXPECT_EQ(module->Info().product, "Stand-in RNG module");
  EXPECT_TRUE(module->Info().high_speed);
  EXPECT_EQ(module->Info().id, (usb::UsbId{0x1234, 0x5678}));
  EXPECT_EQ(module->TransferUnit(), 2048);

  std::vector<std::uint8_t> data(5000);
  std::size_t done = 0;
  EXPECT_EQ(module->Read(data.data(), data.size(), done), core::Error::None);
  EXPECT_EQ(done, data.size());
  EXPECT_TRUE(SameBytes(data, sim::ExpectedRecord(9, 0, 5000)));

  // With nothing asked, a receive waits until it is aborted, and then it carried nothing.
  usb::access::EndPoint& in = *module->BulkIn();
  std::vector<std::uint8_t> answer(2048);
  ASSERT_EQ(in.BeginTransfer(answer.data(), 2048), usb::access::Start::Pending);
  EXPECT_FALSE(in.WaitForTransfer(0));
  in.Abort();
  EXPECT_TRUE(in.WaitForTransfer(1000));
  const usb::access::Finished aborted = in.FinishTransfer();
  EXPECT_FALSE(aborted.success);
  EXPECT_EQ(aborted.length, 0);

  std::string words;
  EXPECT_EQ(module->Close(&words), core::Error::None) << words;
  standin::Unplug();
}

}  // namespace
