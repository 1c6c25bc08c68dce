// Conversion of the program's wide text to UTF-8 for the console and for
// POSIX paths, and of UTF-8 text (arguments, lines of another instance of the
// program) back to wide text. wchar_t is UTF-16 on Windows and UTF-32 on
// Linux; both are handled, and unpaired surrogates, invalid code points and
// invalid UTF-8 become U+FFFD.
#pragma once
#include <string>
#include <string_view>

namespace text {

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// The code point of the UTF-8 sequence at text[i] into c; returns the
// sequence's length, 0 when it is not a valid, shortest-form sequence of a
// code point other than a surrogate.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& c);

// Appends the UTF-8 bytes of one code point. The value is encoded as it
// stands, surrogates included: WideToUtf8 replaces what is not a code point
// first; the Linux path conversion wants even a lone surrogate's bytes.
void AppendUtf8(std::string& out, char32_t c);

}  // namespace text
