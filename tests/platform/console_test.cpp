// Console lines: wide formatting with %ls, UTF-8 bytes on standard output.
#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"

namespace platform {
namespace {

TEST(Console, PrintsOneFormattedLineAsUtf8) {
  testing::internal::CaptureStdout();
  ConsolePrint(L"System configured for %ls\n", L"Gr\u00fc\u00dfe \u20ac");
  ConsolePrint(L"Upgraded in %u ms\n", 1234u);
  ConsolePrint(L"0x%08X\n", 0xB00000u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "System configured for Gr\xc3\xbc\xc3\x9f"
            "e \xe2\x82\xac\nUpgraded in 1234 ms\n0x00B00000\n");
}

TEST(Console, PrintsLinesLongerThanAnyFirstGuess) {
  const std::wstring longName(5000, L'x');
  testing::internal::CaptureStdout();
  ConsolePrint(L"[%ls]\n", longName.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[" + std::string(5000, 'x') + "]\n");
}

}  // namespace
}  // namespace platform
