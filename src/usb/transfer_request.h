// The driver's request codes and the 38-byte TransferRequest header, encoded and decoded byte by
// byte in little-endian order (never a struct laid over the bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace usb {

// Device-control codes: device type 0x22, any access, function, method (0 buffered, 3 neither).
inline constexpr std::uint32_t kRequestDriverVersion = 0x220000;
inline constexpr std::uint32_t kRequestInfoWord = 0x220004;
inline constexpr std::uint32_t kRequestAltSetting = 0x220008;
inline constexpr std::uint32_t kRequestInfoByte = 0x220010;
inline constexpr std::uint32_t kRequestControlTransfer = 0x220020;
inline constexpr std::uint32_t kRequestBufferedTransfer = 0x220024;
inline constexpr std::uint32_t kRequestInfoBlock1 = 0x22003C;
inline constexpr std::uint32_t kRequestInfoBlock2 = 0x220040;
inline constexpr std::uint32_t kRequestAbortPipe = 0x220044;
inline constexpr std::uint32_t kRequestDirectTransfer = 0x22004B;
inline constexpr std::uint32_t kRequestBusSpeed = 0x22004C;

inline constexpr std::size_t kTransferRequestSize = 38;

struct TransferRequest {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  std::uint32_t TimeoutSeconds = 0;
  std::uint8_t Reserved = 0;
  std::uint8_t EndpointAddress = 0;
  std::uint32_t RequestStatus = 0;
  std::uint32_t TransferStatus = 0;
  std::uint32_t PacketTableOffset = 0;
  std::uint32_t PacketTableLength = 0;
  std::uint32_t DataOffset = 0;
  std::uint32_t DataLength = 0;

  friend bool operator==(const TransferRequest&, const TransferRequest&) = default;
};

// Writes the header into the first 38 bytes of `out` (which must hold at least 38).
void EncodeTransferRequest(const TransferRequest& request, std::span<std::uint8_t> out);
// Reads the header from the first 38 bytes of `in` (which must hold at least 38).
TransferRequest DecodeTransferRequest(std::span<const std::uint8_t> in);

// The two status words a driver writes into the header it answers: 0 and 0 for success.
struct StatusWords {
  std::uint32_t request = 0;   // RequestStatus
  std::uint32_t transfer = 0;  // TransferStatus
};
// Of a header of at least 38 bytes; zeros, or nothing written, for a shorter one.
StatusWords ReadStatusWords(std::span<const std::uint8_t> header);
void WriteStatusWords(std::span<std::uint8_t> header, StatusWords words);

// Little-endian helpers for wire records.
inline std::uint16_t ReadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void WriteLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void WriteLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace usb
