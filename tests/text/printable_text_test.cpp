// Outside names made safe to print: which characters are escaped and how,
// and that ordinary text (non-ASCII letters, Windows paths) passes unchanged.
#include <gtest/gtest.h>

#include <string>

#include "text/printable_text.h"

namespace platform {
namespace {

TEST(PrintableText, EscapesTerminalControlSequences) {
  EXPECT_EQ(text::PrintableText(L"\x1b[2J\x1b[H\x1b[32mOK"), L"\\x1b[2J\\x1b[H\\x1b[32mOK");
  EXPECT_EQ(text::PrintableText(std::wstring(L"a\0b\tc\nd\re\x1f", 10)), L"a\\x00b\\x09c\\x0ad\\x0de\\x1f");
}

TEST(PrintableText, EscapesDeleteAndTheC1Controls) {
  EXPECT_EQ(text::PrintableText(L"\x7f\x80\x9b"
                                L"2J\x9f"),
            L"\\x7f\\x80\\x9b2J\\x9f");
}

TEST(PrintableText, EscapesBidirectionalControls) {
  EXPECT_EQ(text::PrintableText(L"txt.\u202Eexe"), L"txt.\\u{202e}exe");
  EXPECT_EQ(text::PrintableText(L"\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069"),
            L"\\u{202a}\\u{202b}\\u{202c}\\u{202d}\\u{2066}\\u{2067}\\u{2068}\\u{2069}");
}

// Every character of Unicode's Bidi_Control property, and the line and
// paragraph separators, which a terminal or a log viewer may break a line at.
TEST(PrintableText, EscapesEveryBidiControlAndTheLineAndParagraphSeparators) {
  EXPECT_EQ(text::PrintableText(L"modem\u200F\u061Cmanager"), L"modem\\u{200f}\\u{061c}manager");
  EXPECT_EQ(text::PrintableText(L"\u200E\u200F\u061C\u2028\u2029"), L"\\u{200e}\\u{200f}\\u{061c}\\u{2028}\\u{2029}");
}

TEST(PrintableText, LeavesOrdinaryTextAlone) {
  const std::wstring text =
      L"C:\\Program Files\\Zantrova \u00a0Gr\u00fc\u00dfe \u20ac \u061b\u061d\u200d\u2010\u2027\u202f\u2065\u206a~";
  EXPECT_EQ(text::PrintableText(text), text);
}

}  // namespace
}  // namespace platform
