// Wide text to UTF-8 and back: each encoded length at its bounds, and what
// becomes of values that are not code points and of bytes that are not UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "text/utf8.h"

namespace platform {
namespace {

std::string Appended(char32_t c) {
  std::string out = "<";
  text::AppendUtf8(out, c);
  return out;
}

TEST(Utf8, AppendsEachLengthAtItsBounds) {
  EXPECT_EQ(Appended(0x7F), "<\x7f");
  EXPECT_EQ(Appended(0x80), "<\xc2\x80");
  EXPECT_EQ(Appended(0x7FF), "<\xdf\xbf");
  EXPECT_EQ(Appended(0x800), "<\xe0\xa0\x80");
  EXPECT_EQ(Appended(0xFFFF), "<\xef\xbf\xbf");
  EXPECT_EQ(Appended(0x10000), "<\xf0\x90\x80\x80");
  EXPECT_EQ(Appended(0x10FFFF), "<\xf4\x8f\xbf\xbf");
}

TEST(Utf8, AppendEncodesASurrogateAsItStands) { EXPECT_EQ(Appended(0xDC80), "<\xed\xb2\x80"); }

TEST(Utf8, WideTextReplacesWhatIsNoCodePoint) {
  EXPECT_EQ(text::WideToUtf8(L"a\u00e9\u20ac"), "a\xc3\xa9\xe2\x82\xac");
  const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
  EXPECT_EQ(text::WideToUtf8(L"x" + loneSurrogate + L"y"), "x\xef\xbf\xbdy");
}

TEST(Utf8, DecodesEachLengthBackToTheSameText) {
  const std::wstring text = L"a\u00e9\u07ff\u0800\uffff\U00010000\U0010ffff";
  EXPECT_EQ(text::Utf8ToWide(text::WideToUtf8(text)), text);
}

TEST(Utf8, BytesThatAreNoShortestFormCodePointBecomeOneReplacementEach) {
  const std::wstring bad(1, L'\ufffd');
  EXPECT_EQ(text::Utf8ToWide("a\x80z"), L"a" + bad + L"z");                      // a lone continuation byte
  EXPECT_EQ(text::Utf8ToWide("a\xc0\xafz"), L"a" + bad + bad + L"z");            // an overlong '/'
  EXPECT_EQ(text::Utf8ToWide("a\xed\xa0\x80z"), L"a" + bad + bad + bad + L"z");  // a surrogate
  EXPECT_EQ(text::Utf8ToWide("a\xe2\x82"), L"a" + bad + bad);                    // cut short at the end
  EXPECT_EQ(text::Utf8ToWide("\xf4\x90\x80\x80"), bad + bad + bad + bad);        // above U+10FFFF
}

}  // namespace
}  // namespace platform
