// Linux text decoding: a little-endian UTF-16 test of our own and the
// Windows-1252 code page, since Linux has neither.
#include "host/text_decoding.h"

#include <algorithm>
#include <array>

namespace host {
namespace {

// Bytes that ordinary 8-bit text never holds: the control bytes other than
// tab, line feed, form feed and carriage return (NUL included).
bool IsForeignTo8BitText(uint8_t byte) {
  return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\f' && byte != '\r';
}

// Little-endian UTF-16 of the scripts below U+2000 has such a byte as the high
// byte of most of its code units (0x00 for ASCII and Latin-1, 0x04 for
// Cyrillic, ...), while its low bytes are rarely NUL. Big-endian UTF-16 and
// runs of NUL bytes have the opposite shape and are refused.
bool LooksLikeLittleEndianUtf16(const uint8_t* bytes, size_t size) {
  size_t units = size / 2;
  size_t foreignHighBytes = 0;
  size_t nulLowBytes = 0;
  for (size_t i = 0; i < units; ++i) {
    nulLowBytes += bytes[2 * i] == 0 ? 1 : 0;
    foreignHighBytes += IsForeignTo8BitText(bytes[2 * i + 1]) ? 1 : 0;
  }
  return units > 0 && foreignHighBytes * 2 >= units && nulLowBytes * 2 < units;
}

// Windows-1252 differs from Latin-1 only in 0x80-0x9F. Its five unassigned
// bytes there (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their C1 control value.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

eUnicodeTest TestUnicodeText(const uint8_t* bytes, size_t size) {
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return eUnicodeTest::UnicodeWithByteOrderMark;
  }
  return LooksLikeLittleEndianUtf16(bytes, size) ? eUnicodeTest::Unicode : eUnicodeTest::NotUnicode;
}

std::wstring DecodeAnsiText(const uint8_t* bytes, size_t size) {
  std::wstring text(size, L'\0');
  std::transform(bytes, bytes + size, text.begin(), [](uint8_t byte) {
    return static_cast<wchar_t>(byte >= 0x80 && byte <= 0x9F ? kWindows1252High[byte - 0x80] : byte);
  });
  return text;
}

std::wstring DecodeUtf16Text(const uint8_t* bytes, size_t size) {
  size_t units = size / 2;
  auto unitAt = [bytes](size_t i) { return uint32_t{bytes[2 * i]} | uint32_t{bytes[2 * i + 1]} << 8; };
  std::wstring text;
  text.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t unit = unitAt(i);
    if (IsHighSurrogate(unit) && i + 1 < units && IsLowSurrogate(unitAt(i + 1))) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
      ++i;
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

}  // namespace host
