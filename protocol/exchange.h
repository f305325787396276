// One exchange with the module: a command of whole frames out, an answer of known length in,
// both transfers in flight together.
#pragma once

#include <cstdint>

namespace protocol {

inline constexpr std::int32_t kExchangeBufferSize = 32768;
inline constexpr std::uint32_t kSendWaitMs = 9000;
inline constexpr std::uint32_t kAbortWaitMs = 2000;

// Results: 0, 1, 2, 4, 5, plus 16 (short send) and 32 (short receive).
std::int32_t ExchangeFrames(const std::uint8_t* command, std::int32_t command_size,
                            std::int32_t answer_length, std::uint8_t* answer);

}  // namespace protocol
