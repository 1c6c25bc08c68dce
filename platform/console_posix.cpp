// The console's streams on Linux: UTF-8 bytes, whatever the locale; a status
// line only on a terminal, with cursor control unless TERM says there is none.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console_device.h"
#include "platform/utf8.h"

namespace platform {

void WriteConsoleText(eConsoleStream stream, const std::wstring& text) {
  std::FILE* out = stream == eConsoleStream::Output ? stdout : stderr;
  const std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fflush(out);
}

eStatusTerminal OpenStatusTerminal() {
  if (EnvironmentHas("ZNTV_NO_PROGRESS") || ::isatty(STDERR_FILENO) != 1) return eStatusTerminal::None;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") == 0 ? eStatusTerminal::Dumb : eStatusTerminal::VirtualTerminal;
}

void CloseStatusTerminal() {}

bool EnvironmentHas(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace platform
