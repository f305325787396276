// The block request: up to 1984 bytes of random data per exchange, into the program's block.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "core/module.h"

namespace devicelink {

using protocol::kBlockSize;

// The generator mode of the open link (7 RND, 3 RNDNOP); 7 when no link is open.
std::uint8_t GeneratorMode();

// The process-wide block of data the last successful request delivered.
std::array<std::uint8_t, kBlockSize>& BlockBuffer();

// Results: 0 success, 1 length above 1984, 403 exchange failed, 408 status mismatch.
// `meanwhile` runs while the block's transfers are on the bus, before BlockBuffer changes.
std::int32_t RequestBlock(std::uint32_t length, int is_last, const std::function<void()>& meanwhile = {});

}  // namespace devicelink
