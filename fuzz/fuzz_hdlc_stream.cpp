// Fuzzes the HDLC stream decoder as the protocol servers use it: received
// bytes arrive in read-sized pieces of any length. Input: a byte n, n piece
// lengths (used in turn; 0 stands for 256), one byte choosing the decoder's
// capacity, then the byte stream.
// Properties: the pieces do not change the decoded packets; every packet
// re-encodes to a frame that decodes to the same packet; every packet fits
// the decoder and passes the packet checks as each protocol would receive it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "framing/hdlc_codec.h"
#include "fuzz/packet_checks.h"
#include "protocol/shared_buffer.h"

namespace {

using Packets = std::vector<std::vector<uint8_t>>;

// The protocol servers hold four reads of 64 KiB; small capacities test a
// frame that outgrows the decoder.
constexpr size_t kServerCapacity = 4 * 65536;

std::unique_ptr<fuzz::cTranscript> g_transcript;

Packets Decode(size_t capacity, std::span<const uint8_t> stream, std::span<const uint8_t> pieceLengths) {
  cHdlcDeframer deframer(capacity);
  Packets packets;
  auto collect = [&](const uint8_t* payload, size_t size) {
    FUZZ_REQUIRE(size >= 1 && size + kHdlcFcsSize <= capacity);
    packets.emplace_back(payload, payload + size);
  };
  size_t piece = 0;
  for (size_t at = 0; at < stream.size();) {
    size_t length = pieceLengths.empty() ? stream.size() : pieceLengths[piece++ % pieceLengths.size()];
    if (length == 0) length = 256;
    length = std::min(length, stream.size() - at);
    deframer.Feed(stream.data() + at, length, collect);
    at += length;
  }
  FUZZ_REQUIRE(deframer.HeldBytes() <= capacity);
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_transcript = std::make_unique<fuzz::cTranscript>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t pieceCount = data[0] % 16;
  if (size < 2 + pieceCount) return 0;
  const std::span<const uint8_t> pieceLengths(data + 1, pieceCount);
  const uint8_t capacityChoice = data[1 + pieceCount];
  const size_t capacity = capacityChoice == 0 ? kServerCapacity : capacityChoice;
  const std::span<const uint8_t> stream(data + 2 + pieceCount, size - 2 - pieceCount);

  const Packets whole = Decode(capacity, stream, {});
  FUZZ_REQUIRE(Decode(capacity, stream, pieceLengths) == whole);
  FUZZ_REQUIRE(Decode(capacity, stream, std::vector<uint8_t>{1}) == whole);

  std::vector<uint8_t> reencoded;
  std::set<std::vector<uint8_t>> checked;
  for (const std::vector<uint8_t>& packet : whole) {
    const std::vector<uint8_t> frame = EncodeHdlcFrame(packet.data(), packet.size());
    reencoded.insert(reencoded.end(), frame.begin(), frame.end());
    // The checks below depend on the packet's bytes alone: a packet seen
    // before in this stream would pass them again (streams repeat packets
    // often, and the checks are most of the target's work).
    if (!checked.insert(packet).second) continue;
    FUZZ_REQUIRE(frame.size() <= HdlcFrameCapacity(packet.size()));
    FUZZ_REQUIRE(Decode(capacity, frame, {}) == Packets{packet});
    for (int32_t kind : {kBufferKindDiagReceived, kBufferKindDlReceived, kBufferKindSdlReceived}) {
      fuzz::CheckPacket(kind, packet, *g_transcript);
    }
  }
  FUZZ_REQUIRE(Decode(capacity, reencoded, {}) == whole);
  return 0;
}
