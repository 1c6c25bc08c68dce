// Wide printf-style formatting into a growing buffer.
#include "text/console_format.h"

#include <cwchar>

namespace text {

std::wstring FormatWide(const wchar_t* format, va_list args) {
  std::wstring buffer(256, L'\0');
  // A wide vswprintf reports truncation and encoding errors alike with -1;
  // past 1 MiB characters the error is taken to be the format's own.
  while (buffer.size() <= (1u << 20)) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.assign(buffer.size() * 4, L'\0');
  }
  return {};
}

}  // namespace text
