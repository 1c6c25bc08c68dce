// The console's streams on Windows: wide text straight to a console window,
// UTF-8 bytes to a pipe or file. A status line only on a console window,
// drawn with virtual-terminal sequences where the console accepts them.
#include <windows.h>

#include <cstdio>

#include "platform/console_device.h"
#include "text/utf8.h"

namespace platform {

namespace {

// ENABLE_VIRTUAL_TERMINAL_PROCESSING, which older SDK headers lack.
constexpr DWORD kVirtualTerminalProcessing = 0x0004;

// The error console's mode before the status line changed it.
DWORD savedErrorMode = 0;
bool errorModeChanged = false;

bool WriteToConsoleWindow(DWORD stdHandle, const std::wstring& text) {
  HANDLE out = ::GetStdHandle(stdHandle);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  DWORD written = 0;
  return ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
}

}  // namespace

void WriteConsoleText(eConsoleStream stream, const std::wstring& text) {
  const bool toOutput = stream == eConsoleStream::Output;
  std::FILE* out = toOutput ? stdout : stderr;
  std::fflush(out);  // keep any earlier C runtime output in front
  if (WriteToConsoleWindow(toOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, text)) return;
  const std::string bytes = text::WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fflush(out);
}

eStatusTerminal OpenStatusTerminal() {
  HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (EnvironmentHas("ZNTV_NO_PROGRESS") || error == nullptr || error == INVALID_HANDLE_VALUE ||
      !::GetConsoleMode(error, &mode)) {
    return eStatusTerminal::None;
  }
  if ((mode & kVirtualTerminalProcessing) != 0) return eStatusTerminal::VirtualTerminal;
  if (!::SetConsoleMode(error, mode | kVirtualTerminalProcessing)) return eStatusTerminal::CarriageReturn;
  savedErrorMode = mode;
  errorModeChanged = true;
  return eStatusTerminal::VirtualTerminal;
}

void CloseStatusTerminal() {
  if (!errorModeChanged) return;
  ::SetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), savedErrorMode);
  errorModeChanged = false;
}

bool EnvironmentHas(const char* name) {
  return ::GetEnvironmentVariableA(name, nullptr, 0) != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

}  // namespace platform
