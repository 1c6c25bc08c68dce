// Frame encoding, CRC and the stream decoder: the bytes on the wire must be
// exact, and every read boundary must decode the same frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framing/hdlc_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& payload) { return EncodeHdlcFrame(payload.data(), payload.size()); }

// Feeds the chunks in order to one deframer and returns every frame delivered.
std::vector<Bytes> Decode(const std::vector<Bytes>& chunks, size_t capacity = 1024) {
  cHdlcDeframer deframer(capacity);
  std::vector<Bytes> frames;
  for (const Bytes& chunk : chunks) {
    deframer.Feed(chunk.data(), chunk.size(),
                  [&](const uint8_t* data, size_t size) { frames.emplace_back(data, data + size); });
  }
  return frames;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Frame bytes with a valid FCS but written without the encoder (no escaping
// needed for the values used).
Bytes RawFrame(const Bytes& body) {
  const uint16_t fcs = Crc16X25(body.data(), body.size());
  Bytes frame = body;
  frame.push_back(static_cast<uint8_t>(fcs));
  frame.push_back(static_cast<uint8_t>(fcs >> 8));
  frame.push_back(kHdlcFlag);
  return frame;
}

TEST(Crc16X25, CheckValueAndIncrementalUpdate) {
  const std::string digits = "123456789";
  const auto* data = reinterpret_cast<const uint8_t*>(digits.data());
  EXPECT_EQ(Crc16X25(data, digits.size()), 0x906E);
  // Split updates give the same register as one pass.
  const uint16_t reg = Crc16X25Update(Crc16X25Update(0xFFFF, data, 4), data + 4, 5);
  EXPECT_EQ(reg ^ 0xFFFF, 0x906E);
  // A message followed by its FCS (low byte first) leaves the good residue.
  const uint16_t fcs = 0x906E;
  const uint8_t tail[2] = {static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8)};
  EXPECT_EQ(Crc16X25Update(Crc16X25Update(0xFFFF, data, 9), tail, 2), kCrc16X25GoodResidue);
}

// Vectors computed by an independent CRC implementation (see
// data/make_crc_vectors.py).
TEST(Crc16X25, MatchesIndependentImplementation) {
  std::ifstream in(ZNTV_TEST_DATA_DIR "/crc_vectors.txt");
  ASSERT_TRUE(in) << "missing crc_vectors.txt";
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string crcText, payloadText;
    fields >> crcText >> payloadText;
    Bytes payload;
    for (size_t i = 0; i + 1 < payloadText.size(); i += 2) {
      payload.push_back(static_cast<uint8_t>(std::stoul(payloadText.substr(i, 2), nullptr, 16)));
    }
    const auto expected = static_cast<uint16_t>(std::stoul(crcText, nullptr, 16));
    EXPECT_EQ(Crc16X25(payload.data(), payload.size()), expected) << "line " << count + 1;
    // And every such payload survives a round trip through the framing.
    EXPECT_EQ(Decode({Encode(payload)}), std::vector<Bytes>{payload});
    ++count;
  }
  EXPECT_GE(count, 30);
}

TEST(HdlcEncode, ExampleFrames) {
  EXPECT_EQ(Encode({0x7C}), (Bytes{0x7E, 0x7C, 0x93, 0x49, 0x7E}));
  EXPECT_EQ(Encode({0x3A}), (Bytes{0x7E, 0x3A, 0xA1, 0x6E, 0x7E}));
  EXPECT_EQ(Encode({0x07}), (Bytes{0x7E, 0x07, 0xC7, 0x84, 0x7E}));
  EXPECT_EQ(Encode({0x0B}), (Bytes{0x7E, 0x0B, 0xAB, 0x4E, 0x7E}));
}

TEST(HdlcEncode, EscapesFlagAndEscapeInPayload) {
  const Bytes payload = {0x7E, 0x01, 0x7D, 0x5E, 0x20};
  const Bytes frame = Encode(payload);
  const uint16_t fcs = Crc16X25(payload.data(), payload.size());
  ASSERT_NE(fcs & 0xFF, 0x7E);
  ASSERT_NE(fcs & 0xFF, 0x7D);
  ASSERT_NE(fcs >> 8, 0x7E);
  ASSERT_NE(fcs >> 8, 0x7D);
  const Bytes expected = {
      0x7E, 0x7D, 0x5E, 0x01, 0x7D, 0x5D, 0x5E, 0x20, static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8), 0x7E};
  EXPECT_EQ(frame, expected);
}

// Finds a two-byte payload whose FCS contains the given byte at the given
// position (0 low, 1 high), so escaping of the FCS itself is exercised.
Bytes PayloadWithFcsByte(uint8_t value, int position) {
  for (unsigned v = 0; v < 0x10000; ++v) {
    const Bytes payload = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    if (payload[0] == 0x7E || payload[0] == 0x7D || payload[1] == 0x7E || payload[1] == 0x7D) continue;
    const uint16_t fcs = Crc16X25(payload.data(), 2);
    if (((fcs >> (8 * position)) & 0xFF) == value) return payload;
  }
  return {};
}

TEST(HdlcEncode, EscapesFlagAndEscapeInFcs) {
  for (uint8_t value : {kHdlcFlag, kHdlcEscape}) {
    for (int position : {0, 1}) {
      const Bytes payload = PayloadWithFcsByte(value, position);
      ASSERT_EQ(payload.size(), 2u);
      const Bytes frame = Encode(payload);
      ASSERT_EQ(frame.size(), 7u);  // flag, 2 payload, 3 FCS (one escaped), flag
      const size_t at = 3 + static_cast<size_t>(position);
      EXPECT_EQ(frame[at], kHdlcEscape);
      EXPECT_EQ(frame[at + 1], value ^ 0x20);
      EXPECT_EQ(Decode({frame}), std::vector<Bytes>{payload});
    }
  }
}

TEST(HdlcEncode, WorstCaseFitsCapacity) {
  const Bytes payload(100, 0x7E);
  uint8_t out[2 * 100 + 6];
  const size_t written = EncodeHdlcFrameInto(payload.data(), payload.size(), out);
  EXPECT_EQ(HdlcFrameCapacity(100), sizeof out);
  EXPECT_LE(written, sizeof out);
  EXPECT_GE(written, 1 + 200 + 2 + 1u);
  EXPECT_EQ(Decode({Bytes(out, out + written)}), std::vector<Bytes>{payload});
}

TEST(HdlcDecode, EveryReadSplitGivesTheSameFrame) {
  const Bytes payload = {0x10, 0x7E, 0x00, 0x7D, 0xFF, 0x42};
  const Bytes frame = Encode(payload);
  for (size_t split = 0; split <= frame.size(); ++split) {
    const Bytes first(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(split));
    const Bytes second(frame.begin() + static_cast<std::ptrdiff_t>(split), frame.end());
    EXPECT_EQ(Decode({first, second}), std::vector<Bytes>{payload}) << "split at " << split;
  }
  // One byte per read.
  std::vector<Bytes> singles;
  for (uint8_t byte : frame) singles.push_back({byte});
  EXPECT_EQ(Decode(singles), std::vector<Bytes>{payload});
}

TEST(HdlcDecode, TwoFramesInOneReadAndNoOpeningFlagNeeded) {
  const Bytes a = {0x7C, 0x01}, b = {0x3A};
  EXPECT_EQ(Decode({Concat(Encode(a), Encode(b))}), (std::vector<Bytes>{a, b}));
  // Bytes before the first flag belong to the frame it closes.
  const Bytes frame = Encode(a);
  const Bytes noOpening(frame.begin() + 1, frame.end());
  EXPECT_EQ(Decode({noOpening}), std::vector<Bytes>{a});
}

TEST(HdlcDecode, FrameWithAnyBitFlippedIsDropped) {
  const Bytes payload = {0x08, 0x00, 0x10, 0x00, 0x00};
  const Bytes frame = Encode(payload);
  for (size_t i = 1; i + 1 < frame.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes damaged = frame;
      damaged[i] ^= static_cast<uint8_t>(1u << bit);
      if (damaged[i] == kHdlcFlag || damaged[i] == kHdlcEscape) continue;  // changes framing
      EXPECT_TRUE(Decode({damaged}).empty()) << "byte " << i << " bit " << bit;
    }
  }
  // A damaged frame does not disturb the next one.
  Bytes damaged = frame;
  damaged[2] ^= 1;
  EXPECT_EQ(Decode({Concat(damaged, frame)}), std::vector<Bytes>{payload});
}

TEST(HdlcDecode, EmptyAndTooShortFramesAreIgnored) {
  EXPECT_TRUE(Decode({{0x7E, 0x7E, 0x7E}}).empty());
  // One and two bytes before a flag: too short for FCS plus payload. A 2-byte
  // frame that is the FCS of nothing (0xFFFF ^ 0xFFFF = 0x0000 → 00 00 has
  // residue of the empty message) must not yield a packet of size -1 or 0.
  EXPECT_TRUE(Decode({{0x00, 0x7E}}).empty());
  EXPECT_TRUE(Decode({{0x00, 0x00, 0x7E}}).empty());
  EXPECT_TRUE(Decode({{0xFF, 0xFF, 0x7E}}).empty());
  const uint16_t emptyFcs = Crc16X25(nullptr, 0);
  EXPECT_TRUE(Decode({{static_cast<uint8_t>(emptyFcs), static_cast<uint8_t>(emptyFcs >> 8), 0x7E}}).empty());
  // A flag both closes a frame and opens the next.
  const Bytes payload = {0x0B};
  EXPECT_EQ(Decode({Concat({0x7E, 0x7E}, Encode(payload))}), std::vector<Bytes>{payload});
}

// Every frame a flag closes, in arrival order: (intact, bytes), the bytes of
// a damaged frame being all it held, FCS included.
std::vector<std::pair<bool, Bytes>> DecodeAll(const std::vector<Bytes>& chunks) {
  cHdlcDeframer deframer(1024);
  std::vector<std::pair<bool, Bytes>> frames;
  for (const Bytes& chunk : chunks) {
    deframer.Feed(
        chunk.data(), chunk.size(),
        [&](const uint8_t* data, size_t size) { frames.emplace_back(true, Bytes(data, data + size)); },
        [&](const uint8_t* data, size_t size) { frames.emplace_back(false, Bytes(data, data + size)); });
  }
  return frames;
}

TEST(HdlcDecode, DamagedFramesAreHandedOverWholeWithTheirFcs) {
  const Bytes payload = {0x08, 0x7E, 0x01};
  Bytes damaged = Encode(payload);
  damaged[1] ^= 0x01;  // 0x08 becomes 0x09: the FCS no longer checks
  const uint16_t fcs = Crc16X25(payload.data(), payload.size());
  const Bytes held = {0x09, 0x7E, 0x01, static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8)};
  // Split inside the escape: the damaged frame still arrives unescaped and whole.
  const Bytes wire = Concat(Concat(damaged, {0x7E, 0x7E}), Encode({0x0B}));
  const std::vector<std::pair<bool, Bytes>> expected = {{false, held}, {true, {0x0B}}};
  EXPECT_EQ(DecodeAll({Bytes(wire.begin(), wire.begin() + 3), Bytes(wire.begin() + 3, wire.end())}), expected);
  // Frames too short to carry an FCS and a payload count as damaged; the
  // empty frames between flags are no frames at all.
  EXPECT_EQ(DecodeAll({{0x7E, 0x7E, 0x00, 0x7E, 0x00, 0x00, 0x7E}}),
            (std::vector<std::pair<bool, Bytes>>{{false, {0x00}}, {false, {0x00, 0x00}}}));
}

TEST(HdlcDecode, EscapedFlagIsDataAndEscapeStateSurvivesReads) {
  // 7D 7E stores 0x5E; the frame continues to the next flag.
  const Bytes body = {0x01, 0x5E, 0x02};
  const Bytes raw = RawFrame(body);
  Bytes wire = {0x01, 0x7D, 0x7E};
  wire.insert(wire.end(), raw.begin() + 2, raw.end());
  EXPECT_EQ(Decode({wire}), std::vector<Bytes>{body});
  // The escape pending at the end of one read applies to the next read.
  EXPECT_EQ(Decode({{0x01, 0x7D}, Bytes(wire.begin() + 2, wire.end())}), std::vector<Bytes>{body});
}

TEST(HdlcDecode, OverlongDataWithoutFlagRestartsAccumulation) {
  const size_t capacity = 16;
  const Bytes payload = {0x07, 0x01, 0x02};
  // 16 bytes fill the buffer; the 17th byte starts a new frame, which is then
  // completed by the real frame's bytes only when those are what follow.
  Bytes garbage(capacity, 0x55);
  EXPECT_EQ(Decode({Concat(garbage, RawFrame(payload))}, capacity), std::vector<Bytes>{payload});
  // A frame that straddles the reset is lost, and so is nothing else.
  Bytes partial(capacity - 2, 0x55);
  EXPECT_TRUE(Decode({Concat(partial, RawFrame(payload))}, capacity).empty());
  EXPECT_EQ(Decode({Concat(Concat(partial, RawFrame(payload)), Encode(payload))}, capacity),
            std::vector<Bytes>{payload});
  // A frame of exactly the capacity still decodes: only data that does not
  // fit is dropped.
  const Bytes full(capacity - 2, 0x33);
  EXPECT_EQ(Decode({RawFrame(full)}, capacity), std::vector<Bytes>{full});
}

// The codec works on eight bytes at a time where it can; every length and
// every position of a flag or an escape relative to those steps must give
// what a byte-at-a-time reference gives.
uint16_t BitwiseCrc16X25(const Bytes& data) {
  uint16_t reg = 0xFFFF;
  for (uint8_t byte : data) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0x8408) : reg >> 1;
  }
  return static_cast<uint16_t>(reg ^ 0xFFFF);
}

Bytes BytewiseFrame(const Bytes& payload) {
  const uint16_t fcs = BitwiseCrc16X25(payload);
  Bytes body = payload;
  body.push_back(static_cast<uint8_t>(fcs));
  body.push_back(static_cast<uint8_t>(fcs >> 8));
  Bytes frame = {kHdlcFlag};
  for (uint8_t byte : body) {
    if (byte == kHdlcFlag || byte == kHdlcEscape) {
      frame.push_back(kHdlcEscape);
      frame.push_back(byte ^ kHdlcEscapeXor);
    } else {
      frame.push_back(byte);
    }
  }
  frame.push_back(kHdlcFlag);
  return frame;
}

TEST(HdlcCodec, WordStepsMatchByteReferenceAtEveryLengthAndPosition) {
  for (size_t length = 1; length <= 40; ++length) {
    for (size_t position = 0; position < length; position += 3) {
      Bytes payload(length);
      for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(0x30 + 7 * i);
      payload[position] = (length & 1) ? kHdlcFlag : kHdlcEscape;
      if (position + 9 < length) payload[position + 9] = kHdlcFlag;
      SCOPED_TRACE("length " + std::to_string(length) + " special at " + std::to_string(position));
      EXPECT_EQ(Crc16X25(payload.data(), payload.size()), BitwiseCrc16X25(payload));
      const Bytes frame = Encode(payload);
      EXPECT_EQ(frame, BytewiseFrame(payload));
      // Two frames back to back, split at every byte.
      const Bytes wire = Concat(frame, frame);
      for (size_t cut = 0; cut <= wire.size(); ++cut) {
        EXPECT_EQ(Decode({Bytes(wire.begin(), wire.begin() + cut), Bytes(wire.begin() + cut, wire.end())}),
                  (std::vector<Bytes>{payload, payload}));
      }
    }
  }
}

// Runs of plain bytes that overflow the reassembly buffer restart it exactly
// where a byte-by-byte store would: the byte that does not fit starts anew.
TEST(HdlcDecode, OverlongRunRestartsAtTheByteThatDoesNotFit) {
  const size_t capacity = 16;
  const Bytes payload = {0x11, 0x22, 0x33, 0x44, 0x55};
  // capacity + 3 plain bytes: the last 3 (start of a new frame) are garbage
  // in front of the payload, so nothing decodes; after exactly capacity
  // bytes, the payload frame stands alone and decodes.
  Bytes garbage(capacity + 3, 0x41);
  EXPECT_TRUE(Decode({Concat(garbage, RawFrame(payload))}, capacity).empty());
  Bytes exact(2 * capacity, 0x41);
  EXPECT_EQ(Decode({Concat(exact, RawFrame(payload))}, capacity), std::vector<Bytes>{payload});
}

TEST(HdlcDecode, ZeroCapacityDecodesNothing) { EXPECT_TRUE(Decode({Encode({0x7C})}, 0).empty()); }

}  // namespace
