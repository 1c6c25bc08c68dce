// Outside names made safe to print: which characters are escaped and how,
// and that ordinary text (non-ASCII letters, Windows paths) passes unchanged.
#include <gtest/gtest.h>

#include <string>

#include "platform/printable_text.h"

namespace platform {
namespace {

TEST(PrintableText, EscapesTerminalControlSequences) {
  EXPECT_EQ(PrintableText(L"\x1b[2J\x1b[H\x1b[32mOK"), L"\\x1b[2J\\x1b[H\\x1b[32mOK");
  EXPECT_EQ(PrintableText(std::wstring(L"a\0b\tc\nd\re\x1f", 10)), L"a\\x00b\\x09c\\x0ad\\x0de\\x1f");
}

TEST(PrintableText, EscapesDeleteAndTheC1Controls) {
  EXPECT_EQ(PrintableText(L"\x7f\x80\x9b"
                          L"2J\x9f"),
            L"\\x7f\\x80\\x9b2J\\x9f");
}

TEST(PrintableText, EscapesBidirectionalControls) {
  EXPECT_EQ(PrintableText(L"txt.\u202Eexe"), L"txt.\\u{202e}exe");
  EXPECT_EQ(PrintableText(L"\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069"),
            L"\\u{202a}\\u{202b}\\u{202c}\\u{202d}\\u{2066}\\u{2067}\\u{2068}\\u{2069}");
}

TEST(PrintableText, LeavesOrdinaryTextAlone) {
  const std::wstring text = L"C:\\Program Files\\Zantrova \u00a0Gr\u00fc\u00dfe \u20ac \u2029\u2065\u206a \u202f~";
  EXPECT_EQ(PrintableText(text), text);
}

}  // namespace
}  // namespace platform
