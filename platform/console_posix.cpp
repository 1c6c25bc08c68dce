// Console lines as UTF-8 on standard output, independent of the locale.
#include <cstdarg>
#include <cstdio>

#include "platform/console.h"
#include "platform/console_format.h"
#include "platform/utf8.h"

namespace platform {

namespace {

void Write(std::FILE* stream, const wchar_t* format, va_list args) {
  const std::string text = WideToUtf8(FormatWide(format, args));
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void ConsolePrint(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Write(stdout, format, args);
  va_end(args);
}

void ConsoleExplain(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Write(stderr, format, args);
  va_end(args);
}

}  // namespace platform
