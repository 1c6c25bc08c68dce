// Conversion of the program's wide text to UTF-8 for the console and for
// POSIX paths. wchar_t is UTF-16 on Windows and UTF-32 on Linux; both are
// handled, and unpaired surrogates or invalid code points become U+FFFD.
#pragma once
#include <string>
#include <string_view>

namespace platform {

std::string WideToUtf8(std::wstring_view text);

// Appends the UTF-8 bytes of one code point. The value is encoded as it
// stands, surrogates included: WideToUtf8 replaces what is not a code point
// first; the Linux path conversion wants even a lone surrogate's bytes.
void AppendUtf8(std::string& out, char32_t c);

}  // namespace platform
