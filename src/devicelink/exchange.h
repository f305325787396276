// One exchange with the module: a command of whole frames out, an answer of known length in,
// both transfers in flight together.
#pragma once

#include <cstdint>

#include "devicelink/device_link.h"

namespace devicelink {

// Results: 0, 1, 2, 4, 5, plus 16 (short send) and 32 (short receive). When the answer would
// not fill whole transfer units a closing frame is added and `answer` receives 16 bytes more
// than `answer_length`: it must hold answer_length + 16 bytes.
std::int32_t ExchangeFrames(DeviceLinkState& link, const std::uint8_t* command, std::int32_t command_size,
                            std::int32_t answer_length, std::uint8_t* answer);

// Says in the catalogue's words why an exchange failed.
void ReportExchange(const core::ExchangeReport& report);

}  // namespace devicelink
