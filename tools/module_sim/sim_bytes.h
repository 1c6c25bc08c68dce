// Byte-order helpers for the module's packets: DL fields are big-endian, SDL
// fields little-endian; packets are plain byte vectors.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

inline uint32_t GetBe(const uint8_t* p, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | p[i];
  return value;
}

inline uint32_t GetLe(const uint8_t* p, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i > 0; --i) value = (value << 8) | p[i - 1];
  return value;
}

inline void PutBe(Bytes& out, uint32_t value, size_t width) {
  for (size_t i = width; i > 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
}

inline void PutLe(Bytes& out, uint32_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void PutText(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

// "0x%08X" of an address, as the module's records print it.
std::string HexAddress(uint32_t address);

}  // namespace sim
