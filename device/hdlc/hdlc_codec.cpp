// CRC-16/X-25 and HDLC byte stuffing: the arithmetic behind every frame on the
// module's serial line.
#include "device/hdlc/hdlc_codec.h"

#include <array>

namespace {

constexpr uint16_t kCrc16X25Polynomial = 0x8408;  // 0x1021 bit-reversed
constexpr uint16_t kCrc16X25Init = 0xFFFF;
constexpr uint16_t kCrc16X25FinalXor = 0xFFFF;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1u) ? static_cast<uint16_t>((value >> 1) ^ kCrc16X25Polynomial)
                           : static_cast<uint16_t>(value >> 1);
    }
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1189 && kCrcTable[255] == 0x0F78);

inline uint8_t* PutEscaped(uint8_t byte, uint8_t* out) {
  if (byte == kHdlcFlag || byte == kHdlcEscape) {
    *out++ = kHdlcEscape;
    *out++ = byte ^ kHdlcEscapeXor;
  } else {
    *out++ = byte;
  }
  return out;
}

}  // namespace

uint16_t Crc16X25Update(uint16_t reg, const uint8_t* data, size_t size) {
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
  for (size_t i = 0; i < size; ++i) cursor = PutEscaped(payload[i], cursor);
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
