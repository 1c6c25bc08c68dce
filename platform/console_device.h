// The platform half of the console, under the shared line and status-line
// logic of console.cpp: writing text to one of the two streams as it is, and
// finding out what standard error can do with a status line.
#pragma once
#include <string>

namespace platform {

enum class eConsoleStream { Output, Error };

// Writes text to the stream unchanged and flushes it.
void WriteConsoleText(eConsoleStream stream, const std::wstring& text);

// What standard error is, as far as a status line goes.
enum class eStatusTerminal {
  None,             // not a terminal, or progress turned off
  VirtualTerminal,  // erases with a carriage return and "erase to end of line"
  CarriageReturn,   // erases by overwriting with spaces
  Dumb,             // no cursor control: plain lines only
};
// Called once, before the first status line; may switch the console into the
// mode that it reports.
eStatusTerminal OpenStatusTerminal();
// Called once when the status line ends for good: undoes what Open changed.
void CloseStatusTerminal();

// Whether an environment variable is set, even to an empty value.
bool EnvironmentHas(const char* name);

}  // namespace platform
