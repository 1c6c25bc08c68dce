// DL packet views and request builders.
#include "device/dl/dl_packets.h"

#include <algorithm>
#include <array>

#include "device/hdlc/packet_builder.h"
#include "device/hdlc/packet_fields.h"
#include "protocol/shared_buffer.h"

namespace {

constexpr size_t kWriteHeaderSize = 7;

// Whether a request of this code may have this length.
bool RequestLengthFits(PacketBytes packet) {
  const size_t size = packet.size();
  switch (packet[0]) {
    case 0x01: {
      const auto length = Be16At(packet, 4);
      return size >= 6 && length && size == 6 + *length;
    }
    case 0x04:
      return size == 7;
    case 0x05:
      return size == 5;
    case 0x06:
    case 0x07:
    case 0x0A:
    case 0x0C:
    case 0x0E:
      return size == 1;
    case 0x09:
      return size == 6;
    case 0x0B:
      return size == 9;
    case 0x0F: {
      const auto length = Be16At(packet, 5);
      return size >= kWriteHeaderSize && length && size == kWriteHeaderSize + *length;
    }
    default:
      return false;
  }
}

bool ResponseLengthFits(PacketBytes packet) {
  switch (packet[0]) {
    case 0x02:
      return packet.size() == 1;
    case 0x03:
      return packet.size() == 3;
    case 0x08:
      return packet.size() == 8;
    case 0x0D:
      return packet.size() == 22;
    default:
      return false;
  }
}

// The held buffer is of kind and its length fits its code.
bool HoldsDlPacket(const sSharedBuffer* held, int32_t kind, bool (*lengthFits)(PacketBytes)) {
  return held->GetKind() == kind && held->GetSize() >= 1 && lengthFits({held->GetData(), held->GetSize()});
}

}  // namespace

sDownloadRequest::sDownloadRequest(sSharedBuffer* shared) : sProtocolBuffer(shared) { sDownloadRequest::Validate(); }

sDownloadRequest::sDownloadRequest(const sProtocolBuffer& packet) : sProtocolBuffer(packet) {
  sDownloadRequest::Validate();
}

bool sDownloadRequest::Validate() {
  SetValid(sProtocolBuffer::Validate() && HoldsDlPacket(HeldBuffer(), kBufferKindDlSent, RequestLengthFits));
  return IsValid();
}

sDownloadResponse::sDownloadResponse(sSharedBuffer* shared) : sProtocolBuffer(shared) { sDownloadResponse::Validate(); }

sDownloadResponse::sDownloadResponse(const sProtocolBuffer& packet) : sProtocolBuffer(packet) {
  sDownloadResponse::Validate();
}

bool sDownloadResponse::Validate() {
  SetValid(sProtocolBuffer::Validate() && HoldsDlPacket(HeldBuffer(), kBufferKindDlReceived, ResponseLengthFits));
  return IsValid();
}

std::optional<sDlParameters> ReadDlParameters(const sDownloadResponse& response) {
  if (response.GetCode() != kDlParametersResponseCode) return std::nullopt;
  const PacketBytes bytes(response.GetData(), response.GetSize());
  const auto current = ByteAt(bytes, 1);
  const auto minimum = ByteAt(bytes, 2);
  const auto maxWriteSize = Be16At(bytes, 3);
  if (!current || !minimum || !maxWriteSize) return std::nullopt;
  return sDlParameters{*current, *minimum, *maxWriteSize};
}

sProtocolBuffer BuildDlParametersRequest() {
  const uint8_t request[] = {kDlParametersRequestCode};
  return MakePacket(kBufferKindDlSent, request);
}

sProtocolBuffer BuildDlGoRequest(uint32_t startAddress) {
  std::array<uint8_t, 5> request{kDlGoCode};
  PutBe32(&request[1], startAddress);
  return MakePacket(kBufferKindDlSent, request);
}

sProtocolBuffer BuildDlWriteRequest(uint32_t address, const uint8_t* data, uint32_t size) {
  if (data == nullptr || size == 0 || size > kMaxWriteBlockSize) return sProtocolBuffer();
  return MakePacketInPlace(kBufferKindDlSent, kWriteHeaderSize + size, [&](uint8_t* out) {
    *out++ = kDlWriteCode;
    out = PutBe32(out, address);
    out = PutBe16(out, size);
    std::copy(data, data + size, out);
  });
}

std::vector<sProtocolBuffer> BuildDlWriteRequests(uint32_t blockSize, const uint8_t* image, uint32_t imageLength,
                                                  uint32_t loadAddress) {
  return BuildImageWrites(image, imageLength, blockSize, loadAddress, [](const sImageBlock& block) {
    return BuildDlWriteRequest(block.address, block.bytes.data(), static_cast<uint32_t>(block.bytes.size()));
  });
}
