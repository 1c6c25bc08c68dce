// What a test does when the machine lacks something it needs (a serial line,
// a COM port): it fails, so that a test run cannot pass on tests that never
// ran, unless the person running the tests asked for such tests to be skipped
// with ZNTV_ALLOW_SKIP=1.
//
// Threads: the test's own thread.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace test_support {

inline bool SkipAllowed() {
  const char* allow = std::getenv("ZNTV_ALLOW_SKIP");
  return allow != nullptr && std::strcmp(allow, "1") == 0;
}

}  // namespace test_support

// Ends the test at once when `ready` is false: skipped when allowed, failed
// otherwise, with `what` as the reason. For test bodies and SetUp.
#define ZNTV_REQUIRE_SETUP(ready, what)                                               \
  do {                                                                                \
    if (!(ready)) {                                                                   \
      if (::test_support::SkipAllowed()) GTEST_SKIP() << (what);                      \
      FAIL() << (what) << " (ZNTV_ALLOW_SKIP=1 skips such tests instead of failing)"; \
    }                                                                                 \
  } while (false)
