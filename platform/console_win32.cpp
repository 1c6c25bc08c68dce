// Console lines on standard output and standard error: wide text straight to
// a console window, UTF-8 bytes to a pipe or file.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"
#include "platform/console_format.h"
#include "platform/utf8.h"

namespace platform {

namespace {

bool WriteToConsoleWindow(DWORD stdHandle, const std::wstring& text) {
  HANDLE out = ::GetStdHandle(stdHandle);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  DWORD written = 0;
  return ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
}

void Write(DWORD stdHandle, std::FILE* stream, const wchar_t* format, va_list args) {
  const std::wstring text = FormatWide(format, args);
  std::fflush(stream);  // keep any earlier C runtime output in front
  if (WriteToConsoleWindow(stdHandle, text)) return;
  const std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

void ConsolePrint(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Write(STD_OUTPUT_HANDLE, stdout, format, args);
  va_end(args);
}

void ConsoleExplain(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Write(STD_ERROR_HANDLE, stderr, format, args);
  va_end(args);
}

}  // namespace platform
