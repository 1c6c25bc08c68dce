// The program's console: one formatted wide-character line at a time to
// standard output (UTF-8 on Linux), flushed at once so that lines reach a pipe
// in order even when the process ends abruptly. Explanations a person can act
// on go to standard error the same way, so standard output keeps exactly the
// program's own lines. A long task may keep a status line on standard error
// below those lines while standard error is a terminal: every console line
// erases it first and draws it again after, so neither stream's lines change.
#pragma once
#include <string>

namespace platform {

// printf-style over wide text; use %ls for wide-string arguments (the same on
// both platforms). Any thread, though the program prints from the main thread.
void ConsolePrint(const wchar_t* format, ...);
// The same on standard error.
void ConsoleExplain(const wchar_t* format, ...);

// What a status line can be on this process's standard error: None when standard error is not a terminal (a pipe, a
// file) or ZNTV_NO_PROGRESS is set; PlainLines on a terminal without cursor control (TERM=dumb); else Redrawn in place
// (virtual-terminal sequences, or on a Windows console that refuses them a carriage return and spaces). Any thread.
enum class eStatusStyle { None, Redrawn, PlainLines };
eStatusStyle ConsoleStatusStyle();

// Redrawn: text (one line, or several separated by "\n", without a final
// one) replaces the status lines; a console without cursor control shows
// several on one line. PlainLines: text is written as a line of its own.
// None: nothing. Any thread; the callers pace it.
void ConsoleShowStatus(const std::wstring& text);
// Erases the status line for good; later lines are printed as they are,
// until a new status line is shown.
void ConsoleEndStatus();

}  // namespace platform
