// The program's console: one formatted wide-character line at a time to
// standard output (UTF-8 on Linux), flushed at once so that lines reach a pipe
// in order even when the process ends abruptly. Explanations a person can act
// on go to standard error the same way, so standard output keeps exactly the
// program's own lines.
#pragma once

namespace platform {

// printf-style over wide text; use %ls for wide-string arguments (the same on
// both platforms). Any thread, though the program prints from the main thread.
void ConsolePrint(const wchar_t* format, ...);
// The same on standard error.
void ConsoleExplain(const wchar_t* format, ...);

}  // namespace platform
