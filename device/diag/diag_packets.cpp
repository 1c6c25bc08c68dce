// DIAG packet view, unsolicited-traffic test and request builders.
#include "device/diag/diag_packets.h"

#include <array>

#include "device/hdlc/packet_builder.h"
#include "device/hdlc/packet_fields.h"
#include "protocol/shared_buffer.h"

namespace {

bool IsDiagKind(int32_t kind) { return kind == kBufferKindDiagReceived || kind == kBufferKindDiagSent; }

bool NonZeroLe16At(PacketBytes packet, size_t offset) {
  const auto value = Le16At(packet, offset);
  return value && *value != 0;
}

}  // namespace

sDiagBuffer::sDiagBuffer(sSharedBuffer* shared) : sProtocolBuffer(shared) { sDiagBuffer::Validate(); }

sDiagBuffer::sDiagBuffer(const sProtocolBuffer& packet) : sProtocolBuffer(packet) { sDiagBuffer::Validate(); }

bool sDiagBuffer::Validate() {
  SetValid(sProtocolBuffer::Validate() && IsDiagKind(HeldBuffer()->GetKind()));
  return IsValid();
}

bool IsUnsolicitedDiag(const sProtocolBuffer& packet) {
  const PacketBytes bytes(packet.GetData(), packet.GetSize());
  if (bytes.empty()) return false;
  switch (bytes[0]) {
    case 0x10:
      return bytes.size() >= 5;
    case 0x1F:
      return bytes.size() >= 87 && NonZeroLe16At(bytes, 1);
    case 0x60:
    case 0x74:
      return NonZeroLe16At(bytes, 1);
    case 0x79:
      return true;
    case 0x80: {
      const auto status = Le16At(bytes, 10);
      return bytes.size() >= 12 && NonZeroLe16At(bytes, 8) && status && *status != 0 && *status != 0x8000;
    }
    default:
      return false;
  }
}

sProtocolBuffer BuildDiagBuildIdRequest() {
  const uint8_t request[] = {kDiagBuildIdCode};
  return MakePacket(kBufferKindDiagSent, request);
}

sProtocolBuffer BuildDiagModeRequest() {
  std::array<uint8_t, 3> request{kDiagModeCode};
  PutLe16(&request[1], kDiagModeOffline);
  return MakePacket(kBufferKindDiagSent, request);
}

sProtocolBuffer BuildDiagDownloadModeRequest() {
  const uint8_t request[] = {kDiagDownloadModeCode};
  return MakePacket(kBufferKindDiagSent, request);
}
