// Wide text to UTF-8: each encoded length at its bounds, and what becomes of
// values that are not code points.
#include <gtest/gtest.h>

#include <string>

#include "platform/utf8.h"

namespace platform {
namespace {

std::string Appended(char32_t c) {
  std::string out = "<";
  AppendUtf8(out, c);
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
  EXPECT_EQ(WideToUtf8(L"a\u00e9\u20ac"), "a\xc3\xa9\xe2\x82\xac");
  const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
  EXPECT_EQ(WideToUtf8(L"x" + loneSurrogate + L"y"), "x\xef\xbf\xbdy");
}

}  // namespace
}  // namespace platform
