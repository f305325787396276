// The access operations over the vendor driver's request interface: UsbDevice finds, opens and
// describes the module, its bulk UsbEndPoints carry the transfers. The driver underneath is the
// Windows driver or the simulated module.
#pragma once

#include <memory>

#include "usb/access.h"
#include "usb/device.h"
#include "usb/driver.h"

namespace usb {

// One UsbEndPoint as an access endpoint: it owns the transfer's completion record and context.
class VendorEndPoint final : public access::EndPoint {
 public:
  explicit VendorEndPoint(UsbEndPoint& endpoint) : endpoint_(endpoint) {}

  bool Prepare() override;
  access::Start BeginTransfer(std::uint8_t* buffer, std::int32_t length) override;
  bool WaitForTransfer(std::uint32_t ms) override;
  void Abort() override;
  access::Finished FinishTransfer() override;
  std::uint32_t StrandedTransfers() const override { return endpoint_.StrandedTransfers; }

 private:
  UsbEndPoint& endpoint_;
  // Kept from one clean transfer to the next; after any other end a late completion could still
  // signal it, so the next transfer makes a new one.
  std::shared_ptr<Event> event_;
  CompletionRecord record_;
  TransferContextPtr context_;
  std::uint8_t* buffer_ = nullptr;
  std::int32_t length_ = 0;
};

class VendorDriverProvider final : public access::Provider {
 public:
  // Requests go to `driver`, which outlives the provider and every device it opened.
  explicit VendorDriverProvider(Driver& driver) : driver_(&driver) {}
  // The provider owns its driver.
  explicit VendorDriverProvider(std::unique_ptr<Driver> driver)
      : owned_(std::move(driver)), driver_(owned_.get()) {}

  std::uint8_t CountDevices(std::span<const UsbId> only) override;
  std::unique_ptr<access::Device> Open(std::span<const UsbId> only, std::uint8_t index,
                                       OpenFailure& failure) override;
  bool AwaitArrival(std::uint32_t ms) override { return driver_->AwaitArrival(ms); }

 private:
  std::unique_ptr<Driver> owned_;
  Driver* driver_;
};

}  // namespace usb
