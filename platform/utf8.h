// Conversion of the program's wide text to UTF-8 for the console and for
// POSIX paths. wchar_t is UTF-16 on Windows and UTF-32 on Linux; both are
// handled, and unpaired surrogates or invalid code points become U+FFFD.
#pragma once
#include <string>
#include <string_view>

namespace platform {

std::string WideToUtf8(std::wstring_view text);

}  // namespace platform
