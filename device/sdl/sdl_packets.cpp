// SDL packet views and request builders.
#include "device/sdl/sdl_packets.h"

#include <algorithm>
#include <array>

#include "device/hdlc/packet_builder.h"
#include "device/hdlc/packet_fields.h"
#include "protocol/shared_buffer.h"

namespace {

constexpr size_t kMagicOffset = 1;
constexpr size_t kHelloRequestSize = 36;
constexpr size_t kHelloRequestLastOffset = 35;
constexpr uint8_t kHelloRequestLastByte = 0x01;
constexpr size_t kWriteResponseSize = 5;
constexpr uint32_t kLowestSupportedVersion = 2;
// Fixed offsets of the hello response; the rest follow the identification
// field of N bytes (N at kIdLengthOffset) and the table of S 32-bit values.
constexpr size_t kMaxVersionOffset = 33;
constexpr size_t kMinVersionOffset = 34;
constexpr size_t kMaxWriteSizeOffset = 35;
constexpr size_t kBaseAddressOffset = 39;
constexpr size_t kIdLengthOffset = 43;
constexpr size_t kIdOffset = 44;

bool MagicAt(PacketBytes packet, std::string_view magic) {
  return packet.size() >= kMagicOffset + magic.size() &&
         std::equal(magic.begin(), magic.end(), packet.begin() + kMagicOffset,
                    [](char expected, uint8_t actual) { return static_cast<uint8_t>(expected) == actual; });
}

bool IsHelloRequest(PacketBytes packet) {
  return packet.size() == kHelloRequestSize && packet[0] == kSdlHelloCode && MagicAt(packet, kSdlHostMagic);
}

// The hello response's layout after its fixed part, given N and S.
struct sHelloLayout {
  size_t windowOffset;
  size_t tableEntriesOffset;
  size_t featureMaskOffset;
};

std::optional<sHelloLayout> HelloLayout(PacketBytes packet) {
  const auto idLength = ByteAt(packet, kIdLengthOffset);
  if (!idLength) return std::nullopt;
  const size_t windowOffset = kIdOffset + *idLength;
  const auto tableEntries = Le16At(packet, windowOffset + 2);
  if (!tableEntries) return std::nullopt;
  return sHelloLayout{windowOffset, windowOffset + 2, windowOffset + 4 + size_t{4} * *tableEntries};
}

bool IsHelloResponse(PacketBytes packet) {
  if (packet.size() <= kIdOffset || packet[0] != kSdlHelloResponseCode || !MagicAt(packet, kSdlTargetMagic) ||
      packet[kMinVersionOffset] < kLowestSupportedVersion) {
    return false;
  }
  const size_t idLength = packet[kIdLengthOffset];
  const std::optional<sHelloLayout> layout = HelloLayout(packet);
  // Beyond N, the packet must hold more than the fixed fields around the
  // table, and all of the table with the feature mask after it.
  return packet.size() > 49 + idLength && layout && packet.size() > layout->featureMaskOffset;
}

PacketBytes HeldBytes(const sSharedBuffer* held) { return {held->GetData(), held->GetSize()}; }

}  // namespace

sSDLHello::sSDLHello(sSharedBuffer* shared) : sProtocolBuffer(shared) { sSDLHello::Validate(); }

sSDLHello::sSDLHello(const sProtocolBuffer& packet) : sProtocolBuffer(packet) { sSDLHello::Validate(); }

bool sSDLHello::Validate() {
  bool valid = sProtocolBuffer::Validate();
  if (valid) {
    const sSharedBuffer* held = HeldBuffer();
    valid = held->GetKind() == kBufferKindSdlSent       ? IsHelloRequest(HeldBytes(held))
            : held->GetKind() == kBufferKindSdlReceived ? IsHelloResponse(HeldBytes(held))
                                                        : false;
  }
  SetValid(valid);
  return valid;
}

sSDLStreamingWrite::sSDLStreamingWrite(sSharedBuffer* shared) : sProtocolBuffer(shared) {
  sSDLStreamingWrite::Validate();
}

sSDLStreamingWrite::sSDLStreamingWrite(const sProtocolBuffer& packet) : sProtocolBuffer(packet) {
  sSDLStreamingWrite::Validate();
}

bool sSDLStreamingWrite::Validate() {
  bool valid = sProtocolBuffer::Validate();
  if (valid) {
    const PacketBytes bytes = HeldBytes(HeldBuffer());
    const int32_t kind = HeldBuffer()->GetKind();
    valid = (kind == kBufferKindSdlSent && bytes.size() > kSdlWriteHeaderSize && bytes[0] == kSdlWriteCode) ||
            (kind == kBufferKindSdlReceived && bytes.size() == kWriteResponseSize && bytes[0] == kSdlWriteResponseCode);
  }
  SetValid(valid);
  return valid;
}

std::optional<uint32_t> sSDLStreamingWrite::Address() const {
  if (!IsValid()) return std::nullopt;
  return Le32At({GetData(), GetSize()}, 1);
}

std::optional<sSdlTargetParameters> ReadSdlTargetParameters(const sSDLHello& hello) {
  if (hello.GetCode() != kSdlHelloResponseCode) return std::nullopt;
  const PacketBytes bytes(hello.GetData(), hello.GetSize());
  const std::optional<sHelloLayout> layout = HelloLayout(bytes);
  if (!layout) return std::nullopt;
  const auto maxVersion = ByteAt(bytes, kMaxVersionOffset);
  const auto minVersion = ByteAt(bytes, kMinVersionOffset);
  const auto maxWriteSize = Le32At(bytes, kMaxWriteSizeOffset);
  const auto baseAddress = Le32At(bytes, kBaseAddressOffset);
  const auto windowSize = Le16At(bytes, layout->windowOffset);
  const auto featureMask = ByteAt(bytes, layout->featureMaskOffset);
  if (!maxVersion || !minVersion || !maxWriteSize || !baseAddress || !windowSize || !featureMask) {
    return std::nullopt;
  }
  return sSdlTargetParameters{*maxVersion, *minVersion, *maxWriteSize, *baseAddress, *windowSize, *featureMask};
}

sProtocolBuffer BuildSdlHelloRequest() {
  // The two bytes after the magic sit where the response carries the
  // programmer's highest and lowest protocol version: the host speaks 2.
  std::array<uint8_t, kHelloRequestSize> request{kSdlHelloCode};
  std::copy(kSdlHostMagic.begin(), kSdlHostMagic.end(), request.begin() + kMagicOffset);
  request[kMaxVersionOffset] = kLowestSupportedVersion;
  request[kMinVersionOffset] = kLowestSupportedVersion;
  request[kHelloRequestLastOffset] = kHelloRequestLastByte;
  return MakePacket(kBufferKindSdlSent, request);
}

sProtocolBuffer BuildSdlResetRequest() {
  const uint8_t request[] = {kSdlResetCode};
  return MakePacket(kBufferKindSdlSent, request);
}

sProtocolBuffer BuildSdlStreamingWrite(uint32_t address, const uint8_t* data, uint32_t size) {
  if (data == nullptr || size == 0 || size > kMaxWriteBlockSize) return sProtocolBuffer();
  return MakePacketInPlace(kBufferKindSdlSent, kSdlWriteHeaderSize + size, [&](uint8_t* out) {
    *out++ = kSdlWriteCode;
    out = PutLe32(out, address);
    std::copy(data, data + size, out);
  });
}

std::vector<sProtocolBuffer> BuildSdlWriteRequests(const uint8_t* image, uint32_t blockSize, uint32_t baseAddress,
                                                   uint32_t imageLength) {
  return BuildImageWrites(image, imageLength, blockSize, baseAddress, [](const sImageBlock& block) {
    return BuildSdlStreamingWrite(block.address, block.bytes.data(), static_cast<uint32_t>(block.bytes.size()));
  });
}
