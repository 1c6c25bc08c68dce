// Linux paths: wide names convert to UTF-8 and back, and a byte that is not
// valid UTF-8 survives the round trip, so a listed name opens again.
#include "host/native_fs_posix.h"

#include <gtest/gtest.h>

#include <string>

namespace host {
namespace {

TEST(NativePath, WideNamesBecomeUtf8) {
  EXPECT_EQ(ToNativePath(L"/opt/Gr\u00fc\u00df/\u20ac.did"), "/opt/Gr\xc3\xbc\xc3\x9f/\xe2\x82\xac.did");
  EXPECT_EQ(FromNativePath("/opt/Gr\xc3\xbc\xc3\x9f"), L"/opt/Gr\u00fc\u00df");
}

TEST(NativePath, BytesThatAreNotUtf8SurviveTheRoundTrip) {
  const std::string name = "a\xff\xc3\xa9\xc3_\xed\xa0\x80";  // stray, valid, cut short, surrogate
  const std::wstring wide = FromNativePath(name);
  EXPECT_EQ(wide.substr(0, 3), std::wstring(L"a") + static_cast<wchar_t>(0xDCFF) + L"\u00e9");
  EXPECT_EQ(ToNativePath(wide), name);
}

}  // namespace
}  // namespace host
