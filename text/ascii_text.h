// Locale-independent character classes for the texts the upgrade driver
// compares: configuration keys, device paths and description-file fields.
#pragma once
#include <algorithm>
#include <string>

// White space as the C library's "C" locale knows it.
inline bool IsAsciiSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// A to Z become a to z; every other character stays as it is.
inline wchar_t ToLowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

inline std::wstring ToLowerAscii(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return ToLowerAscii(c); });
  return text;
}
