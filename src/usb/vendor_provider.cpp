#include "usb/vendor_provider.h"

#include <optional>
#include <utility>

namespace usb {
namespace {

// Closes and destroys a device; the system's words when it refuses.
bool Release(UsbDevice& device, std::string& failure) {
  try {
    device.Close();
    device.Destroy();
    return true;
  } catch (const UsbCloseError& error) {
    failure = error.what();
    return false;
  }
}

class VendorDevice final : public access::Device {
 public:
  explicit VendorDevice(std::unique_ptr<UsbDevice> device) : device_(std::move(device)) {
    identity_.device_descriptor = device_->CopyDeviceDescriptor();
    identity_.high_speed = device_->IsHighSpeed;
    identity_.driver_version = device_->DriverVersionCode;
    identity_.serial = Utf16ToUtf8(device_->SerialNumber.data(), device_->SerialNumber.size());
    identity_.product = Utf16ToUtf8(device_->ProductString.data(), device_->ProductString.size());
    if (device_->BulkInEndPoint != nullptr) in_.emplace(*device_->BulkInEndPoint);
    if (device_->BulkOutEndPoint != nullptr) out_.emplace(*device_->BulkOutEndPoint);
  }

  const access::Identity& Identify() const override { return identity_; }
  access::EndPoint* BulkInEndPoint() override { return in_ ? &*in_ : nullptr; }
  access::EndPoint* BulkOutEndPoint() override { return out_ ? &*out_ : nullptr; }
  bool Close(std::string& failure) override {
    // The endpoints go with the device: nothing may reach them afterwards.
    in_.reset();
    out_.reset();
    return Release(*device_, failure);
  }

 private:
  std::unique_ptr<UsbDevice> device_;
  access::Identity identity_;
  std::optional<VendorEndPoint> in_;
  std::optional<VendorEndPoint> out_;
};

}  // namespace

bool VendorEndPoint::Prepare() {
  if (!event_) event_ = endpoint_.driver().CreateEvent();
  return event_ != nullptr;
}

access::Start VendorEndPoint::BeginTransfer(std::uint8_t* buffer, std::int32_t length) {
  record_ = CompletionRecord{std::exchange(event_, nullptr), nullptr};
  buffer_ = buffer;
  length_ = length;
  context_ = endpoint_.BeginTransfer(buffer, length, record_);
  if (!context_) return access::Start::NotStarted;
  if (endpoint_.LastError == kErrorSuccess) return access::Start::AtOnce;
  return endpoint_.LastError == kErrorIoPending ? access::Start::Pending : access::Start::Refused;
}

bool VendorEndPoint::WaitForTransfer(std::uint32_t ms) {
  return endpoint_.WaitForTransfer(record_, ms);
}

void VendorEndPoint::Abort() {
  endpoint_.Abort();
}

access::Finished VendorEndPoint::FinishTransfer() {
  if (!context_) return {};
  access::Finished finished;
  finished.length = length_;
  finished.success =
      endpoint_.FinishTransfer(buffer_, finished.length, record_, std::move(context_), nullptr);
  finished.unplugged = endpoint_.LastError == kErrorDeviceNotConnected;
  if (finished.success && finished.length == length_) event_ = std::move(record_.event);
  record_ = {};
  return finished;
}

std::uint8_t VendorDriverProvider::CountDevices(std::span<const UsbId> only) {
  UsbDevice device(*driver_, nullptr, kModuleInterfaceGuid, false);
  device.Selection.assign(only.begin(), only.end());
  return device.CountDevices();
}

std::unique_ptr<access::Device> VendorDriverProvider::Open(std::span<const UsbId> only, std::uint8_t index,
                                                           OpenFailure& failure) {
  auto device = std::make_unique<UsbDevice>(*driver_, nullptr, kModuleInterfaceGuid, false);
  device->Selection.assign(only.begin(), only.end());
  if (!device->Open(index)) {
    failure = device->LastOpenFailure;
    Release(*device, failure.release);
    return nullptr;
  }
  return std::make_unique<VendorDevice>(std::move(device));
}

}  // namespace usb
