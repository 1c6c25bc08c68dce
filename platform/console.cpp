// Console lines and the status line below them, on both platforms: one lock
// keeps each line whole and erases the status line before a line and draws
// it again after.
#include "platform/console.h"

#include <algorithm>
#include <cstdarg>
#include <mutex>

#include "platform/console_device.h"
#include "text/console_format.h"

namespace platform {

namespace {

// The status line as the terminal shows it now.
struct sStatusLine {
  std::mutex lock;
  bool opened = false;  // the terminal has been looked at (and set up)
  eStatusTerminal terminal = eStatusTerminal::None;
  std::wstring shown;  // on the terminal now; empty: nothing shown
};

// Never destroyed: a thread may still print while the process exits.
sStatusLine& StatusLine() {
  static sStatusLine& line = *new sStatusLine;
  return line;
}

eStatusTerminal TerminalOf(sStatusLine& line) {
  if (!line.opened) {
    line.opened = true;
    line.terminal = OpenStatusTerminal();
  }
  return line.terminal;
}

void Erase(sStatusLine& line) {
  if (line.shown.empty()) return;
  if (line.terminal == eStatusTerminal::VirtualTerminal) {
    // The last line, then each line above it, leaving the cursor where the
    // first one began.
    std::wstring erase = L"\r\x1b[K";
    for (const wchar_t c : line.shown) erase += c == L'\n' ? L"\x1b[A\x1b[K" : L"";
    WriteConsoleText(eConsoleStream::Error, erase);
  } else {
    WriteConsoleText(eConsoleStream::Error, L"\r" + std::wstring(line.shown.size(), L' ') + L"\r");
  }
}

void Draw(const sStatusLine& line) {
  if (!line.shown.empty()) WriteConsoleText(eConsoleStream::Error, line.shown);
}

void PrintLine(eConsoleStream stream, const wchar_t* format, va_list args) {
  const std::wstring text = text::FormatWide(format, args);
  sStatusLine& line = StatusLine();
  const std::lock_guard<std::mutex> hold(line.lock);
  Erase(line);
  WriteConsoleText(stream, text);
  Draw(line);
}

}  // namespace

void ConsolePrint(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintLine(eConsoleStream::Output, format, args);
  va_end(args);
}

void ConsoleExplain(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintLine(eConsoleStream::Error, format, args);
  va_end(args);
}

eStatusStyle ConsoleStatusStyle() {
  sStatusLine& line = StatusLine();
  const std::lock_guard<std::mutex> hold(line.lock);
  switch (TerminalOf(line)) {
    case eStatusTerminal::VirtualTerminal:
    case eStatusTerminal::CarriageReturn:
      return eStatusStyle::Redrawn;
    case eStatusTerminal::Dumb:
      return eStatusStyle::PlainLines;
    case eStatusTerminal::None:
      break;
  }
  return eStatusStyle::None;
}

void ConsoleShowStatus(const std::wstring& text) {
  sStatusLine& line = StatusLine();
  const std::lock_guard<std::mutex> hold(line.lock);
  const eStatusTerminal terminal = TerminalOf(line);
  if (terminal == eStatusTerminal::None) return;
  if (terminal == eStatusTerminal::Dumb) {
    WriteConsoleText(eConsoleStream::Error, text + L"\n");
    return;
  }
  // Overwriting with spaces needs the old line's length: a shorter new line
  // would leave the old one's tail behind. Without cursor control there is
  // no going back up: several lines are shown side by side on one.
  Erase(line);
  line.shown = text;
  if (terminal == eStatusTerminal::CarriageReturn) std::replace(line.shown.begin(), line.shown.end(), L'\n', L' ');
  Draw(line);
}

void ConsoleEndStatus() {
  sStatusLine& line = StatusLine();
  const std::lock_guard<std::mutex> hold(line.lock);
  if (!line.opened) return;
  Erase(line);
  line.shown.clear();
  // The next status line looks at the terminal afresh.
  line.opened = false;
  if (line.terminal != eStatusTerminal::None) CloseStatusTerminal();
}

}  // namespace platform
