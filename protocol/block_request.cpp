#include "protocol/block_request.h"

#include <cstring>
#include <string>

#include "console/catalogue.h"
#include "console/output.h"
#include "protocol/exchange.h"

namespace protocol {
namespace {

constexpr std::int32_t kTooLong = 1;
constexpr std::int32_t kExchangeFailed = 403;
constexpr std::int32_t kWrongStatus = 408;
constexpr std::size_t kRequestBufferSize = 16384;
constexpr std::size_t kStatusOffset = 31;
constexpr std::size_t kDataOffset = 48;

std::uint16_t ReadBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void Append(std::uint8_t*& at, const std::array<std::uint8_t, kFrameSize>& frame) {
  std::memcpy(at, frame.data(), frame.size());
  at += frame.size();
}

}  // namespace

std::uint8_t& GeneratorMode() {
  static std::uint8_t mode = 7;
  return mode;
}

std::array<std::uint8_t, kBlockSize>& BlockBuffer() {
  static std::array<std::uint8_t, kBlockSize> buffer{};
  return buffer;
}

std::array<std::uint8_t, kFrameSize> CommandFrame(Signature signature, std::uint8_t flag, std::uint8_t byte14,
                                                  std::uint8_t byte15) {
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

std::int32_t RequestBlock(std::uint32_t length, int is_last) {
  if (length > kBlockSize) return kTooLong;
  const std::uint32_t n = length / 16 + (length % 16 != 0 ? 1 : 0);
  const std::uint8_t mode = GeneratorMode();

  // Private to the call in meaning; kept out of the stack frame to avoid clearing 32 KiB a block.
  static std::uint8_t command[kRequestBufferSize];
  static std::uint8_t answer[kRequestBufferSize];

  std::uint8_t* at = command;
  Append(at, CommandFrame(Signature::C0DE, 0x00, 0x03, 0x00));
  Append(at, CommandFrame(Signature::C0DE, 0x04, 0x00, mode));
  Append(at, CommandFrame(Signature::DA7A, 0x00, static_cast<std::uint8_t>(n >> 8),
                          static_cast<std::uint8_t>(n)));
  Append(at, CommandFrame(Signature::C0DE, 0x10, 0x00, 0x00));
  std::int32_t answer_length = static_cast<std::int32_t>(16 * (n + 4));
  if (length != kBlockSize) {
    Append(at, CommandFrame(Signature::C0DE, 0x80, 0x00, 0x00));
    answer_length += 16;
  }

  if (ExchangeFrames(command, static_cast<std::int32_t>(at - command), answer_length, answer) != 0) {
    return kExchangeFailed;
  }

  const std::uint8_t status = answer[kStatusOffset] & 0x0F;
  if (status != mode) {
    console::PrintWide("\n%s %02Xh.    ", console::ReadMessage("F006", "S015").c_str(), status);
    return kWrongStatus;
  }

  if (is_last != 0) {
    const std::uint8_t end = answer[63 + 16 * n] & 0x0F;
    if (end != 0xD) {
      const std::string lead = console::ReadMessage("F006", "S016");
      console::PrintWide("\n%slen=%u;blen=%d;idx16a=%d;idx16b=%d; %s %02Xh.    ", lead.c_str(), length,
                         static_cast<int>(n), ReadBe16(answer + 44), ReadBe16(answer + 46),
                         console::ReadMessage("F006", "S017").c_str(), end);
    }
  }

  std::memcpy(BlockBuffer().data(), answer + kDataOffset, length);
  return 0;
}

}  // namespace protocol
