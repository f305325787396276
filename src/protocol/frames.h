// The module's protocol: 16-byte command frames, the block request's frame count, and where the
// answer carries its status, its index words, the data and the end frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace protocol {

inline constexpr std::uint32_t kBlockSize = 1984;  // the most data one block request returns
inline constexpr std::size_t kFrameSize = 16;
inline constexpr std::uint8_t kModeRnd = 7;  // post-processed in the module
inline constexpr std::uint8_t kModeRaw = 3;  // the raw noise

// Command frames: the signature 13 37 followed by C0 DE (a command) or DA 7A (a data count),
// a flag byte at 8, parameter bytes at 14 and 15, the rest zero.
enum class Signature { C0DE, DA7A };
constexpr std::array<std::uint8_t, kFrameSize> CommandFrame(Signature signature, std::uint8_t flag,
                                                            std::uint8_t byte14, std::uint8_t byte15) {
  std::array<std::uint8_t, kFrameSize> frame{};
  frame[0] = 0x13;
  frame[1] = 0x37;
  frame[2] = signature == Signature::C0DE ? 0xC0 : 0xDA;
  frame[3] = signature == Signature::C0DE ? 0xDE : 0x7A;
  frame[8] = flag;
  frame[14] = byte14;
  frame[15] = byte15;
  return frame;
}
// The frame that closes a command whose answer would not fill whole transfer units.
inline constexpr std::array<std::uint8_t, kFrameSize> kClosingFrame =
    CommandFrame(Signature::C0DE, 0x80, 0, 0);

// The data frames a block of `length` bytes takes (the last one may be partly used).
constexpr std::uint32_t DataFrames(std::uint32_t length) {
  return length / 16 + (length % 16 != 0 ? 1 : 0);
}

// The answer to a block request: three header frames, the data frames, the end frame.
inline constexpr std::size_t kStatusAt = 31;  // low nibble: the generator mode
inline constexpr std::size_t kIndexAAt = 44;  // big-endian words, for diagnosis
inline constexpr std::size_t kIndexBAt = 46;
inline constexpr std::size_t kDataAt = 48;
// The byte whose low nibble is the end status (D) after `frames` data frames.
constexpr std::size_t EndStatusAt(std::uint32_t frames) {
  return 63 + 16 * std::size_t{frames};
}

}  // namespace protocol
