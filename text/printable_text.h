// Names that come from outside the program (process names, file and
// directory names, device attributes) are printed to a terminal: control
// characters in them could move the cursor, clear the screen or reorder the
// text around them. This turns each such character into visible text.
//
// Threads: pure function; any thread.
#pragma once
#include <string>
#include <string_view>

namespace text {

// The text with every C0 control (U+0000-001F), DEL (U+007F) and C1 control
// (U+0080-009F) written as \xNN, and every character of Unicode's
// Bidi_Control property (U+061C, U+200E-200F, U+202A-202E, U+2066-2069) and
// the line and paragraph separators (U+2028-2029) as \u{NNNN}, in lower-case
// hex. Everything else, backslashes included, stays as it is.
std::wstring PrintableText(std::wstring_view text);

}  // namespace text
