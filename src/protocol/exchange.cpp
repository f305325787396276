#include "protocol/exchange.h"

#include <cstring>

#include "console/catalogue.h"
#include "console/output.h"
#include "protocol/device_link.h"

namespace protocol {
namespace {

void PrintEntry(const char* key) {
  console::PrintWide("\n%s", console::ReadMessage("F006", key).c_str());
}

}  // namespace

void ReportExchange(const core::ExchangeReport& report) {
  if (report.gone) {
    PrintEntry("S021");  // once: nothing was waited for
  } else {
    if (report.send_timed_out) PrintEntry("S009");
    if (report.receive_timed_out) PrintEntry("S010");
  }
  if (report.short_send) PrintEntry("S022");
  if (report.short_answer) PrintEntry("S023");
}

std::int32_t ExchangeFrames(const std::uint8_t* command, std::int32_t command_size,
                            std::int32_t answer_length, std::uint8_t* answer) {
  if (command_size == 0) return 0;
  DeviceLinkState& link = DeviceLink();
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

}  // namespace protocol
