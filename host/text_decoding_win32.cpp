// Windows text decoding: the system's own UTF-16 test and ANSI conversion.
#include "host/text_decoding.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace host {

eUnicodeTest TestUnicodeText(const uint8_t* bytes, size_t size) {
  int tests = IS_TEXT_UNICODE_SIGNATURE | IS_TEXT_UNICODE_REVERSE_SIGNATURE | IS_TEXT_UNICODE_STATISTICS;
  if (!IsTextUnicode(bytes, static_cast<int>(size), &tests)) {
    return eUnicodeTest::NotUnicode;
  }
  bool byteOrderMark = (tests & (IS_TEXT_UNICODE_SIGNATURE | IS_TEXT_UNICODE_REVERSE_SIGNATURE)) != 0;
  return byteOrderMark ? eUnicodeTest::UnicodeWithByteOrderMark : eUnicodeTest::Unicode;
}

std::wstring DecodeAnsiText(const uint8_t* bytes, size_t size) {
  if (size == 0 || size > INT_MAX) {
    return {};
  }
  const char* text = reinterpret_cast<const char*>(bytes);
  int length = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0);
  if (length <= 0) {
    return {};
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), wide.data(), length);
  return wide;
}

std::wstring DecodeUtf16Text(const uint8_t* bytes, size_t size) {
  std::wstring text(size / 2, L'\0');
  std::memcpy(text.data(), bytes, text.size() * sizeof(wchar_t));
  return text;
}

}  // namespace host
