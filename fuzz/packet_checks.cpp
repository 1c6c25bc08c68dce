// Packet views and field reads against an independent reading of the packet
// formats.
#include "fuzz/packet_checks.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "device/diag/diag_packets.h"
#include "device/dl/dl_packets.h"
#include "device/hdlc/packet_builder.h"
#include "device/sdl/sdl_packets.h"
#include "device/sdl/sdl_write_responses.h"
#include "protocol/protocol_log.h"
#include "protocol/shared_buffer.h"

namespace fuzz {
namespace {

using Bytes = std::span<const uint8_t>;

// Fields of an independent reading; nothing past the end.
std::optional<uint32_t> Le(Bytes b, size_t offset, size_t width) {
  if (offset + width > b.size()) return std::nullopt;
  return LittleEndian(b.subspan(offset, width));
}
std::optional<uint32_t> Be(Bytes b, size_t offset, size_t width) {
  if (offset + width > b.size()) return std::nullopt;
  return BigEndian(b.subspan(offset, width));
}

template <class View>
View CheckedView(const sProtocolBuffer& packet) {
  View view(packet);
  const bool valid = view.IsValid();
  FUZZ_REQUIRE(view.Validate() == valid);  // validation is repeatable
  FUZZ_REQUIRE(!valid || packet.IsValid());
  FUZZ_REQUIRE(valid ? view.GetSize() == packet.GetSize() && view.GetCode() == packet.GetCode()
                     : view.GetData() == nullptr && view.GetSize() == 0 && view.GetCode() == -1);
  return view;
}

void CheckDiag(const sProtocolBuffer& packet, int32_t kind, Bytes b) {
  const sDiagBuffer view = CheckedView<sDiagBuffer>(packet);
  FUZZ_REQUIRE(view.IsValid() ==
               (packet.IsValid() && (kind == kBufferKindDiagReceived || kind == kBufferKindDiagSent)));
  if (IsUnsolicitedDiag(packet)) {
    const uint8_t codes[] = {0x10, 0x1F, 0x60, 0x74, 0x79, 0x80};
    FUZZ_REQUIRE(!b.empty() && std::count(std::begin(codes), std::end(codes), b[0]) == 1);
  }
}

bool DlResponseFits(Bytes b) {
  switch (b[0]) {
    case 0x02:
      return b.size() == 1;
    case 0x03:
      return b.size() == 3;
    case 0x08:
      return b.size() == 8;
    case 0x0D:
      return b.size() == 22;
    default:
      return false;
  }
}

void CheckDl(const sProtocolBuffer& packet, int32_t kind, Bytes b) {
  const sDownloadResponse response = CheckedView<sDownloadResponse>(packet);
  FUZZ_REQUIRE(response.IsValid() == (packet.IsValid() && kind == kBufferKindDlReceived && DlResponseFits(b)));
  const std::optional<sDlParameters> parameters = ReadDlParameters(response);
  FUZZ_REQUIRE(parameters.has_value() == (response.IsValid() && b[0] == kDlParametersResponseCode));
  if (parameters) {
    FUZZ_REQUIRE(parameters->currentVersion == b[1] && parameters->minimumVersion == b[2]);
    FUZZ_REQUIRE(parameters->maxWriteSize == *Be(b, 3, 2));
  }
  const sDownloadRequest request = CheckedView<sDownloadRequest>(packet);
  FUZZ_REQUIRE(!request.IsValid() || kind == kBufferKindDlSent);
  if (request.IsValid() && b[0] == kDlWriteCode) FUZZ_REQUIRE(b.size() == 7 + *Be(b, 5, 2));
  if (request.IsValid() && b[0] == 0x01) FUZZ_REQUIRE(b.size() == 6 + *Be(b, 4, 2));
}

bool MagicAt(Bytes b, std::string_view magic) {
  return b.size() >= 1 + magic.size() &&
         std::equal(magic.begin(), magic.end(), b.begin() + 1, [](char m, uint8_t x) { return uint8_t(m) == x; });
}

// The hello response as the phase reads it: magic, versions (lowest at least
// 2), write size, base address, N identification bytes, window size, S table
// entries of 4 bytes, feature mask, and more than 49 + N bytes in all.
std::optional<sSdlTargetParameters> ReadHelloResponse(Bytes b) {
  if (b.size() < 45 || b[0] != kSdlHelloResponseCode || !MagicAt(b, kSdlTargetMagic) || b[34] < 2) {
    return std::nullopt;
  }
  const size_t idLength = b[43];
  const auto window = Le(b, 44 + idLength, 2);
  const auto entries = Le(b, 46 + idLength, 2);
  if (!window || !entries || b.size() <= 49 + idLength) return std::nullopt;
  const size_t featureOffset = 48 + idLength + size_t{4} * *entries;
  if (featureOffset >= b.size()) return std::nullopt;
  return sSdlTargetParameters{b[33], b[34], *Le(b, 35, 4), *Le(b, 39, 4), *window, b[featureOffset]};
}

void CheckSdl(const sProtocolBuffer& packet, int32_t kind, Bytes b) {
  const sSDLHello hello = CheckedView<sSDLHello>(packet);
  const std::optional<sSdlTargetParameters> expected =
      packet.IsValid() && kind == kBufferKindSdlReceived ? ReadHelloResponse(b) : std::nullopt;
  const bool isHelloRequest = packet.IsValid() && kind == kBufferKindSdlSent && b.size() == 36 &&
                              b[0] == kSdlHelloCode && MagicAt(b, kSdlHostMagic);
  FUZZ_REQUIRE(hello.IsValid() == (expected.has_value() || isHelloRequest));
  const std::optional<sSdlTargetParameters> target = ReadSdlTargetParameters(hello);
  FUZZ_REQUIRE(target.has_value() == expected.has_value());
  if (target) {
    FUZZ_REQUIRE(target->maxVersion == expected->maxVersion && target->minVersion == expected->minVersion &&
                 target->maxWriteSize == expected->maxWriteSize && target->baseAddress == expected->baseAddress &&
                 target->windowSize == expected->windowSize && target->featureMask == expected->featureMask);
  }
  const sSDLStreamingWrite write = CheckedView<sSDLStreamingWrite>(packet);
  const bool isWrite =
      packet.IsValid() && ((kind == kBufferKindSdlSent && b.size() > 5 && b[0] == kSdlWriteCode) ||
                           (kind == kBufferKindSdlReceived && b.size() == 5 && b[0] == kSdlWriteResponseCode));
  FUZZ_REQUIRE(write.IsValid() == isWrite);
  FUZZ_REQUIRE(write.Address() == (isWrite ? Le(b, 1, 4) : std::nullopt));
}

std::string Format(const char* format, uint32_t value) {
  char line[64];
  std::snprintf(line, sizeof line, format, value);
  return line;
}

// The lines the write-response collection reports for the packet, and
// whether it counts as a write response.
void CheckCollection(const sProtocolBuffer& packet, int32_t kind, Bytes b, cTranscript& transcript) {
  cProtocolLog log(8);
  log.Add(packet);
  uint32_t next = 0;
  transcript.Clear();
  const bool found = CollectWriteResponse(log, next, report::cReporter(transcript, report::eStage::Sdl), /*pauseMs=*/0);
  const std::string printed = transcript.Text();
  const uint8_t code = packet.IsValid() ? b[0] : 0;
  FUZZ_REQUIRE(found == (packet.IsValid() && code == kSdlWriteResponseCode));
  std::string expected;
  if (!packet.IsValid()) {
    expected = "";
  } else if (code == kSdlWriteResponseCode) {
    expected = kind == kBufferKindSdlReceived && b.size() == 5
                   ? Format("Received SDL write response (0x%08X)\n", *Le(b, 1, 4))
                   : "Received invalid SDL write response\n";
  } else if (code == kSdlErrorCode) {
    expected = b.size() > 5 ? Format("Received SDL error (%u)\n", *Le(b, 1, 4)) : "Received invalid SDL error\n";
  } else if (code == kSdlLogCode) {
    expected = "Received SDL log\n";
  }
  FUZZ_REQUIRE(printed == expected);
}

}  // namespace

void CheckPacket(int32_t kind, std::span<const uint8_t> bytes, cTranscript& transcript) {
  const sProtocolBuffer packet = MakePacket(kind, bytes);
  const bool fits = !bytes.empty() && bytes.size() <= kMaxSharedBufferSize;
  FUZZ_REQUIRE(packet.IsValid() == fits);
  FUZZ_REQUIRE(!fits || (packet.GetSize() == bytes.size() && std::equal(bytes.begin(), bytes.end(), packet.GetData())));
  // From here on only the packet's own heap copy is read.
  const Bytes b = fits ? Bytes(packet.GetData(), packet.GetSize()) : Bytes();
  CheckDiag(packet, kind, b);
  CheckDl(packet, kind, b);
  CheckSdl(packet, kind, b);
  CheckCollection(packet, kind, b, transcript);
}

}  // namespace fuzz
