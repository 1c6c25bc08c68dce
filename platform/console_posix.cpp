// Console lines as UTF-8 on standard output, independent of the locale.
#include <cstdarg>
#include <cstdio>

#include "platform/console.h"
#include "platform/console_format.h"
#include "platform/utf8.h"

namespace platform {

void ConsolePrint(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = WideToUtf8(FormatWide(format, args));
  va_end(args);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace platform
