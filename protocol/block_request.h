// Command frames and the block request: up to 1984 bytes of random data per exchange.
#pragma once

#include <array>
#include <cstdint>

namespace protocol {

inline constexpr std::uint32_t kBlockSize = 1984;
inline constexpr std::size_t kFrameSize = 16;

// The generator mode byte sent to the module and checked in its answer: 7 RND, 3 RNDNOP.
std::uint8_t& GeneratorMode();

// The process-wide block of data the last successful request delivered.
std::array<std::uint8_t, kBlockSize>& BlockBuffer();

enum class Signature { C0DE, DA7A };
// A 16-byte frame: signature, flag byte at 8, parameter bytes at 14 and 15, the rest zero.
std::array<std::uint8_t, kFrameSize> CommandFrame(Signature signature, std::uint8_t flag, std::uint8_t byte14,
                                                  std::uint8_t byte15);

// Results: 0 success, 1 length above 1984, 403 exchange failed, 408 status mismatch.
std::int32_t RequestBlock(std::uint32_t length, int is_last);

}  // namespace protocol
