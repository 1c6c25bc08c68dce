// Bounds-checked reads and plain writes of the fixed-width fields inside
// device packets. A read that would reach past the packet's end yields
// nothing, so a short or lying packet can never make the host read beyond
// its bytes.
//
// Threads: pure functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

using PacketBytes = std::span<const uint8_t>;

// The byte at offset, or nothing past the end.
inline std::optional<uint8_t> ByteAt(PacketBytes packet, size_t offset) {
  if (offset >= packet.size()) return std::nullopt;
  return packet[offset];
}

// Multi-byte fields: width bytes at offset, little- or big-endian, or nothing
// when they do not all lie inside the packet.
template <size_t width>
std::optional<uint32_t> LittleEndianAt(PacketBytes packet, size_t offset) {
  static_assert(width >= 1 && width <= 4);
  if (offset > packet.size() || packet.size() - offset < width) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | packet[offset + i];
  return value;
}

template <size_t width>
std::optional<uint32_t> BigEndianAt(PacketBytes packet, size_t offset) {
  static_assert(width >= 1 && width <= 4);
  if (offset > packet.size() || packet.size() - offset < width) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | packet[offset + i];
  return value;
}

inline std::optional<uint32_t> Le16At(PacketBytes p, size_t offset) { return LittleEndianAt<2>(p, offset); }
inline std::optional<uint32_t> Le32At(PacketBytes p, size_t offset) { return LittleEndianAt<4>(p, offset); }
inline std::optional<uint32_t> Be16At(PacketBytes p, size_t offset) { return BigEndianAt<2>(p, offset); }

// Writers for packets being built; out must hold the field.
inline uint8_t* PutLe16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  return out + 2;
}
inline uint8_t* PutLe32(uint8_t* out, uint32_t value) { return PutLe16(PutLe16(out, value & 0xFFFFu), value >> 16); }
inline uint8_t* PutBe16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
  return out + 2;
}
inline uint8_t* PutBe32(uint8_t* out, uint32_t value) { return PutBe16(PutBe16(out, value >> 16), value & 0xFFFFu); }
