// CRC-16/X-25 and HDLC byte stuffing: the arithmetic behind every frame on the
// module's serial line.
#include "framing/hdlc_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr uint16_t kCrc16X25Polynomial = 0x8408;  // 0x1021 bit-reversed
constexpr uint16_t kCrc16X25Init = 0xFFFF;
constexpr uint16_t kCrc16X25FinalXor = 0xFFFF;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      value =
          (value & 1u) ? static_cast<uint16_t>((value >> 1) ^ kCrc16X25Polynomial) : static_cast<uint16_t>(value >> 1);
    }
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1189 && kCrcTable[255] == 0x0F78);

// Slicing by eight: table k advances the register over a byte followed by k
// zero bytes, so eight bytes take eight independent lookups instead of a
// chain of eight dependent ones.
constexpr size_t kCrcSlices = 8;
using CrcSliceTables = std::array<std::array<uint16_t, 256>, kCrcSlices>;

constexpr CrcSliceTables MakeCrcSliceTables() {
  CrcSliceTables tables{};
  tables[0] = kCrcTable;
  for (size_t k = 1; k < kCrcSlices; ++k) {
    for (unsigned i = 0; i < 256; ++i) {
      const uint16_t previous = tables[k - 1][i];
      tables[k][i] = static_cast<uint16_t>((previous >> 8) ^ kCrcTable[previous & 0xFFu]);
    }
  }
  return tables;
}

constexpr CrcSliceTables kCrcSliceTables = MakeCrcSliceTables();

uint64_t LoadLittleEndian64(const uint8_t* data) {
  uint64_t word = 0;
  for (size_t i = 0; i < sizeof word; ++i) word |= static_cast<uint64_t>(data[i]) << (8 * i);
  return word;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// High bit set in the bytes of word that equal value (and possibly in bytes
// above such a byte, which only later matches can be).
uint64_t MatchBytes(uint64_t word, uint8_t value) {
  const uint64_t x = word ^ (kOnes * value);
  return (x - kOnes) & ~x & kHighBits;
}

bool NeedsEscape(uint8_t byte) { return byte == kHdlcFlag || byte == kHdlcEscape; }

// The first byte in [data, end) that is a flag or an escape, or end. Looks at
// eight bytes at a time: most payload bytes need no escaping.
const uint8_t* FindEscapable(const uint8_t* data, const uint8_t* end) {
  for (; end - data >= 8; data += 8) {
    const uint64_t word = LoadLittleEndian64(data);
    const uint64_t matches = MatchBytes(word, kHdlcFlag) | MatchBytes(word, kHdlcEscape);
    if (matches) return data + std::countr_zero(matches) / 8;
  }
  while (data < end && !NeedsEscape(*data)) ++data;
  return data;
}

inline uint8_t* PutEscaped(uint8_t byte, uint8_t* out) {
  if (NeedsEscape(byte)) {
    *out++ = kHdlcEscape;
    *out++ = byte ^ kHdlcEscapeXor;
  } else {
    *out++ = byte;
  }
  return out;
}

// Escapes size bytes into out: runs that need nothing are copied whole.
uint8_t* PutEscapedRun(const uint8_t* data, size_t size, uint8_t* out) {
  const uint8_t* const end = data + size;
  while (data < end) {
    const uint8_t* const special = FindEscapable(data, end);
    const auto plain = static_cast<size_t>(special - data);
    if (plain) std::memcpy(out, data, plain);
    out += plain;
    for (data = special; data < end && NeedsEscape(*data); ++data) out = PutEscaped(*data, out);
  }
  return out;
}

}  // namespace

uint16_t Crc16X25Update(uint16_t reg, const uint8_t* data, size_t size) {
  const auto& t = kCrcSliceTables;
  for (; size >= kCrcSlices; data += kCrcSlices, size -= kCrcSlices) {
    const uint64_t word = LoadLittleEndian64(data) ^ reg;
    reg = static_cast<uint16_t>(t[7][word & 0xFFu] ^ t[6][(word >> 8) & 0xFFu] ^ t[5][(word >> 16) & 0xFFu] ^
                                t[4][(word >> 24) & 0xFFu] ^ t[3][(word >> 32) & 0xFFu] ^ t[2][(word >> 40) & 0xFFu] ^
                                t[1][(word >> 48) & 0xFFu] ^ t[0][word >> 56]);
  }
  for (size_t i = 0; i < size; ++i) {
    reg = static_cast<uint16_t>((reg >> 8) ^ kCrcTable[(reg ^ data[i]) & 0xFFu]);
  }
  return reg;
}

uint16_t Crc16X25(const uint8_t* data, size_t size) {
  return static_cast<uint16_t>(Crc16X25Update(kCrc16X25Init, data, size) ^ kCrc16X25FinalXor);
}

size_t HdlcFrameCapacity(size_t payloadSize) { return 2 * payloadSize + 6; }

size_t EncodeHdlcFrameInto(const uint8_t* payload, size_t size, uint8_t* out) {
  const uint16_t fcs = Crc16X25(payload, size);
  uint8_t* cursor = out;
  *cursor++ = kHdlcFlag;
  cursor = PutEscapedRun(payload, size, cursor);
  cursor = PutEscaped(static_cast<uint8_t>(fcs & 0xFFu), cursor);
  cursor = PutEscaped(static_cast<uint8_t>(fcs >> 8), cursor);
  *cursor++ = kHdlcFlag;
  return static_cast<size_t>(cursor - out);
}

std::vector<uint8_t> EncodeHdlcFrame(const uint8_t* payload, size_t size) {
  std::vector<uint8_t> frame(HdlcFrameCapacity(size));
  frame.resize(EncodeHdlcFrameInto(payload, size, frame.data()));
  return frame;
}

cHdlcDeframer::cHdlcDeframer(size_t capacity)
    : buffer_(capacity ? std::make_unique_for_overwrite<uint8_t[]>(capacity) : nullptr), capacity_(capacity) {}

bool cHdlcDeframer::IsIntactFrame(size_t frameLength) const {
  return frameLength > kHdlcFcsSize &&
         Crc16X25Update(kCrc16X25Init, buffer_.get(), frameLength) == kCrc16X25GoodResidue;
}

void cHdlcDeframer::StoreRun(const uint8_t* run, size_t size) {
  while (size > 0) {
    if (length_ >= capacity_) length_ = 0;
    const size_t piece = std::min(size, capacity_ - length_);
    std::memcpy(buffer_.get() + length_, run, piece);
    length_ += piece;
    run += piece;
    size -= piece;
  }
}

const uint8_t* cHdlcDeframer::StoreUntilFlag(const uint8_t* data, const uint8_t* end) {
  while (data < end) {
    const uint8_t byte = *data;
    if (escapePending_) {
      escapePending_ = false;
      Store(byte ^ kHdlcEscapeXor);
      ++data;
    } else if (byte == kHdlcEscape) {
      escapePending_ = true;
      ++data;
    } else if (byte == kHdlcFlag) {
      return data;
    } else {
      // A plain byte starts a run: take it and all plain bytes after it at once.
      const uint8_t* const special = FindEscapable(data + 1, end);
      StoreRun(data, static_cast<size_t>(special - data));
      data = special;
    }
  }
  return end;
}
