// The block request: up to 1984 bytes of random data per exchange, into the program's block.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "devicelink/device_link.h"

namespace devicelink {

using protocol::kBlockSize;

// RequestBlock's result when the exchange failed: the module left, or stopped answering.
inline constexpr std::int32_t kExchangeFailed = 403;

// The generator mode of the link's module (7 RND, 3 RNDNOP); 7 when no module is open.
std::uint8_t GeneratorMode(const DeviceLinkState& link);

// Requests one block into link.BlockBuffer. Results: 0 success, 1 length above 1984, 403
// exchange failed, 408 status mismatch. `meanwhile` runs while the block's transfers are on the
// bus, before BlockBuffer changes.
std::int32_t RequestBlock(DeviceLinkState& link, std::uint32_t length, int is_last,
                          const std::function<void()>& meanwhile = {});

}  // namespace devicelink
