// Helpers for the image tests: Intel HEX records built from their fields,
// a cHexFile parsed from text held in a buffer of exactly its size (so that
// AddressSanitizer sees any read past the end), and whole-file reads.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "image/hex_file.h"

namespace hex_test {

// ":" then the bytes of <body> (count, address, type, data) and the checksum
// that makes them sum to 0, in hex digits; no line end.
inline std::string RawRecord(std::vector<uint8_t> body) {
  unsigned sum = 0;
  for (uint8_t b : body) sum += b;
  body.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : body) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

inline std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                            static_cast<uint8_t>(address), type};
  body.insert(body.end(), data.begin(), data.end());
  return RawRecord(std::move(body));
}

inline std::string Data(uint16_t address, const std::vector<uint8_t>& data) { return Record(0x00, address, data); }
inline std::string Upper(uint16_t upper) {
  return Record(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
inline std::string Start(uint32_t address) {
  return Record(0x05, 0,
                {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
}
inline std::string EndOfFile() { return Record(0x01, 0, {}); }

// The lines joined, each followed by <ending>.
inline std::string Lines(const std::vector<std::string>& lines, const std::string& ending = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += line + ending;
  return text;
}

// Owns the text before the cHexFile base is built over it.
struct sOwnedText {
  explicit sOwnedText(const std::string& text)
      : bytes(new uint8_t[text.size() + (text.empty() ? 1 : 0)]), size(static_cast<uint32_t>(text.size())) {
    std::copy(text.begin(), text.end(), bytes.get());
  }
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size;
};

class cParsedHex : private sOwnedText, public cHexFile {
 public:
  explicit cParsedHex(const std::string& text) : sOwnedText(text), cHexFile(bytes.get(), size) {}
  std::vector<uint8_t> Bytes(uint32_t from, uint32_t count) const {
    return std::vector<uint8_t>(Image.get() + from, Image.get() + from + count);
  }
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  return bytes;
}

}  // namespace hex_test
