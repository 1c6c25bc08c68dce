// The console's streams on Linux: UTF-8 bytes, whatever the locale; a status
// line only on a terminal, with cursor control unless TERM says there is none.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/console_device.h"
#include "text/utf8.h"

namespace platform {

// Straight to the descriptor, the whole text: a write that a signal breaks
// off (EINTR, or a part written) goes on with the rest, so no line is lost
// or cut however the signal came.
void WriteConsoleText(eConsoleStream stream, const std::wstring& text) {
  const int fd = stream == eConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO;
  const std::string bytes = text::WideToUtf8(text);
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    next += written;
    left -= static_cast<size_t>(written);
  }
}

eStatusTerminal OpenStatusTerminal() {
  if (EnvironmentHas("ZNTV_NO_PROGRESS") || ::isatty(STDERR_FILENO) != 1) return eStatusTerminal::None;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") == 0 ? eStatusTerminal::Dumb : eStatusTerminal::VirtualTerminal;
}

void CloseStatusTerminal() {}

bool EnvironmentHas(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace platform
