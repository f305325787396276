#include "devicelink/device_link.h"

#include "console/catalogue.h"
#include "console/output.h"
#include "platform/platform.h"

namespace devicelink {
namespace {

constexpr std::int32_t kAllocationFailed = 46;
constexpr std::int32_t kNoDevice = 50;
constexpr std::int32_t kSeveralDevices = 52;
constexpr std::int32_t kNotOpened = 5;
constexpr std::int32_t kNoBulkIn = 89;
constexpr std::int32_t kNoBulkOut = 94;

void PrintIdentification(const core::ModuleInfo& info) {
  console::PrintMessageLine(console::Msg::ModuleLine);
  console::PrintWide(info.high_speed ? "USB 2.0;" : "USB 1.1;");
  console::PrintWide("%s %s;", console::ReadMessage(console::Msg::DriverVersion).c_str(),
                     core::VersionText(info.driver_version).c_str());
  console::PrintWide("\n  VendorID=%04xh;ProductID=%04xh;", static_cast<unsigned>(info.id.vendor),
                     static_cast<unsigned>(info.id.product));
  console::PrintWide("SerialNumber=%s", info.serial.c_str());
}

// The outcome of a failed open in the catalogue's words; the program's result code.
std::int32_t ReportFailure(core::Error error, const core::OpenReport& report) {
  switch (error) {
    case core::Error::NoMemory:
      console::PrintMessageLine(console::Msg::NoDeviceObject);
      return kAllocationFailed;
    case core::Error::NoModule:
    case core::Error::NoMatch:
    case core::Error::SeveralModules:
      console::PrintMessageLine(error == core::Error::SeveralModules ? console::Msg::SeveralModules
                                                                     : console::Msg::NoModule);
      if (error != core::Error::SeveralModules && !report.candidates.empty()) {
        // Devices that look like modules but are not selected, so the user learns what to pass.
        console::PrintMessageLine(console::Msg::Candidates);
        for (const std::string& candidate : report.candidates)
          console::PrintWide("\n  %s", candidate.c_str());
        console::PrintMessageLine(console::Msg::SelectWithDevice);
      }
      platform::ReadChar();
      return error == core::Error::SeveralModules ? kSeveralDevices : kNoDevice;
    case core::Error::AccessDenied:
    case core::Error::OpenFailed:
      if (!report.reason.empty()) {
        const console::Msg message =
            error == core::Error::AccessDenied ? console::Msg::AccessDenied : console::Msg::CannotOpen;
        console::PrintWide("\n%s %s", console::ReadMessage(message).c_str(), report.reason.c_str());
      }
      return kNotOpened;
    default:
      console::PrintMessageLine(report.bulk_in_missing ? console::Msg::NoBulkIn : console::Msg::NoBulkOut);
      return report.bulk_in_missing ? kNoBulkIn : kNoBulkOut;
  }
}

}  // namespace

std::int32_t OpenDeviceLink(DeviceLinkState& link, usb::access::Provider& provider,
                            const core::Selector& selector, std::uint8_t mode, bool quiet) {
  link = DeviceLinkState{};

  std::unique_ptr<core::Module> module;
  core::OpenReport report;
  const core::Error error = core::Module::Open(provider, selector, module, report);
  if (report.identified && (!quiet || error != core::Error::None)) PrintIdentification(report.info);
  if (error != core::Error::None) {
    const std::int32_t result = ReportFailure(error, report);
    if (!report.release_failure.empty()) throw usb::UsbCloseError(report.release_failure);
    return result;
  }
  module->SetMode(mode);
  link.BulkIn = module->BulkIn();
  link.BulkOut = module->BulkOut();
  link.TransferUnit = module->TransferUnit();
  link.DeviceDescriptor = module->Info().device_descriptor;
  link.module = std::move(module);
  return 0;
}

void CloseDeviceLink(DeviceLinkState& link) {
  if (!link.module) return;
  // Empty the link first: should closing fail, the link must not point at a module that is
  // half released, and the error travels to the top of the program.
  std::unique_ptr<core::Module> module = std::move(link.module);
  link = DeviceLinkState{};
  std::string failure;
  if (module->Close(&failure) != core::Error::None) throw usb::UsbCloseError(failure);
}

}  // namespace devicelink
