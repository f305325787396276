// The 38-byte request header, one field at a time in little-endian order.
#include "usb/transfer_request.h"

namespace usb {
namespace {

constexpr std::size_t kRequestStatusAt = 14;
constexpr std::size_t kTransferStatusAt = 18;

}  // namespace

StatusWords ReadStatusWords(std::span<const std::uint8_t> header) {
  if (header.size() < kTransferRequestSize) return {};
  return {ReadLe32(header.data() + kRequestStatusAt), ReadLe32(header.data() + kTransferStatusAt)};
}

void WriteStatusWords(std::span<std::uint8_t> header, StatusWords words) {
  if (header.size() < kTransferRequestSize) return;
  WriteLe32(header.data() + kRequestStatusAt, words.request);
  WriteLe32(header.data() + kTransferStatusAt, words.transfer);
}

void EncodeTransferRequest(const TransferRequest& request, std::span<std::uint8_t> out) {
  if (out.size() < kTransferRequestSize) return;
  std::uint8_t* p = out.data();
  p[0] = request.bmRequestType;
  p[1] = request.bRequest;
  WriteLe16(p + 2, request.wValue);
  WriteLe16(p + 4, request.wIndex);
  WriteLe16(p + 6, request.wLength);
  WriteLe32(p + 8, request.TimeoutSeconds);
  p[12] = request.Reserved;
  p[13] = request.EndpointAddress;
  WriteStatusWords(out, {request.RequestStatus, request.TransferStatus});
  WriteLe32(p + 22, request.PacketTableOffset);
  WriteLe32(p + 26, request.PacketTableLength);
  WriteLe32(p + 30, request.DataOffset);
  WriteLe32(p + 34, request.DataLength);
}

TransferRequest DecodeTransferRequest(std::span<const std::uint8_t> in) {
  TransferRequest r;
  if (in.size() < kTransferRequestSize) return r;
  const std::uint8_t* p = in.data();
  r.bmRequestType = p[0];
  r.bRequest = p[1];
  r.wValue = ReadLe16(p + 2);
  r.wIndex = ReadLe16(p + 4);
  r.wLength = ReadLe16(p + 6);
  r.TimeoutSeconds = ReadLe32(p + 8);
  r.Reserved = p[12];
  r.EndpointAddress = p[13];
  const StatusWords status = ReadStatusWords(in);
  r.RequestStatus = status.request;
  r.TransferStatus = status.transfer;
  r.PacketTableOffset = ReadLe32(p + 22);
  r.PacketTableLength = ReadLe32(p + 26);
  r.DataOffset = ReadLe32(p + 30);
  r.DataLength = ReadLe32(p + 34);
  return r;
}

}  // namespace usb
