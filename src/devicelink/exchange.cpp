#include "devicelink/exchange.h"

#include <cstring>

#include "console/catalogue.h"
#include "console/output.h"
#include "devicelink/device_link.h"

namespace devicelink {
void ReportExchange(const core::ExchangeReport& report) {
  if (report.gone) {
    console::PrintMessageLine(console::Msg::ModuleGone);  // once: nothing was waited for
  } else {
    if (report.send_timed_out) console::PrintMessageLine(console::Msg::SendTimedOut);
    if (report.receive_timed_out) console::PrintMessageLine(console::Msg::ReceiveTimedOut);
  }
  if (report.short_send) console::PrintMessageLine(console::Msg::ShortSend);
  if (report.short_answer) console::PrintMessageLine(console::Msg::ShortAnswer);
}

std::int32_t ExchangeFrames(DeviceLinkState& link, const std::uint8_t* command, std::int32_t command_size,
                            std::int32_t answer_length, std::uint8_t* answer) {
  if (command_size == 0) return 0;
  if (!link.module) return 1;
  core::ExchangeReport report;
  link.module->Exchange(command, command_size, answer_length, report);
  ReportExchange(report);
  if (report.code == 0) {
    const auto received = link.module->Answer();
    std::memcpy(answer, received.data(), received.size());
  }
  return report.code;
}

}  // namespace devicelink
