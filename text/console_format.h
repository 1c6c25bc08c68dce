// Formatting half of the console, shared by both console layers: a wide
// printf-style format and its arguments become one wide string.
#pragma once
#include <cstdarg>
#include <string>

namespace text {

// vswprintf into a buffer that grows until the whole text fits. An invalid
// format gives the text formatted so far (possibly empty).
std::wstring FormatWide(const wchar_t* format, va_list args);

}  // namespace text
