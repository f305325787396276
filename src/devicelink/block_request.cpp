#include "devicelink/block_request.h"

#include <string>

#include "console/catalogue.h"
#include "console/output.h"
#include "devicelink/device_link.h"
#include "devicelink/exchange.h"

namespace devicelink {
namespace {

constexpr std::int32_t kTooLong = 1;
constexpr std::int32_t kWrongStatus = 408;

}  // namespace

std::uint8_t GeneratorMode(const DeviceLinkState& link) {
  return link.module ? link.module->Mode() : core::kModeRnd;
}

std::int32_t RequestBlock(DeviceLinkState& link, std::uint32_t length, int is_last,
                          const std::function<void()>& meanwhile) {
  if (length > kBlockSize) return kTooLong;
  if (!link.module) return kExchangeFailed;

  core::BlockReport report;
  const core::Error error =
      link.module->RequestBlock(length, is_last != 0, link.BlockBuffer.data(), report, meanwhile);
  if (error == core::Error::WrongStatus) {
    console::PrintWide("\n%s %02Xh.    ", console::ReadMessage(console::Msg::WrongStatus).c_str(),
                       report.status);
    return kWrongStatus;
  }
  if (error != core::Error::None) {
    ReportExchange(report.exchange);
    return kExchangeFailed;
  }
  if (report.end_checked && report.end != 0xD) {
    const std::string lead = console::ReadMessage(console::Msg::LastBlockStatus);
    console::PrintWide("\n%slen=%u;blen=%d;idx16a=%d;idx16b=%d; %s %02Xh.    ", lead.c_str(), length,
                       static_cast<int>(report.frames), report.index_a, report.index_b,
                       console::ReadMessage(console::Msg::Status).c_str(), report.end);
  }
  return 0;
}

}  // namespace devicelink
