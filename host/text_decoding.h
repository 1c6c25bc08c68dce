// Turns the bytes of a description file into wide text: the system's test for
// UTF-16 text and its conversions from the ANSI code page and from UTF-16.
//
// Wide text is std::wstring. On Windows a wchar_t is one UTF-16 code unit and
// UTF-16 text is taken unit for unit. On Linux a wchar_t holds a whole code
// point: a surrogate pair becomes one wchar_t, an unpaired surrogate stays one
// wchar_t of its own value, so text positions count code points there.
//
// Threads: any thread; no shared state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

enum class eUnicodeTest {
  NotUnicode,                // 8-bit text
  Unicode,                   // little-endian UTF-16 without a byte-order mark
  UnicodeWithByteOrderMark,  // UTF-16 whose first two bytes are a byte-order mark
};

// Tests whether the bytes (the first 128 bytes of a file at most) are UTF-16
// text: by a byte-order mark, a reversed one, or statistically. Windows:
// IsTextUnicode with the signature, reverse-signature and statistics tests.
// Linux: the little-endian byte-order mark, or a statistical test that
// recognises little-endian UTF-16 of the scripts below U+2000 (ASCII text
// included) and never passes ordinary 8-bit text, which holds no bytes
// below 0x20 other than tab, line feed, form feed and carriage return.
eUnicodeTest TestUnicodeText(const uint8_t* bytes, size_t size);

// Converts 8-bit text from the ANSI code page: the thread's code page on
// Windows, Windows-1252 on Linux (0x80-0x9F as that code page defines them,
// its five unassigned bytes as the C1 controls of the same value).
std::wstring DecodeAnsiText(const uint8_t* bytes, size_t size);

// Converts little-endian UTF-16 code units (size / 2 of them) to wide text.
std::wstring DecodeUtf16Text(const uint8_t* bytes, size_t size);

}  // namespace host
