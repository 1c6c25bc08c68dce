// Console lines on standard output: wide text straight to a console window,
// UTF-8 bytes to a pipe or file.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"
#include "platform/console_format.h"
#include "platform/utf8.h"

namespace platform {

namespace {

bool WriteToConsoleWindow(const std::wstring& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  DWORD written = 0;
  return ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
}

}  // namespace

void ConsolePrint(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::wstring text = FormatWide(format, args);
  va_end(args);
  std::fflush(stdout);  // keep any earlier C runtime output in front
  if (WriteToConsoleWindow(text)) return;
  const std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

}  // namespace platform
