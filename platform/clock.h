// The two clocks of the program: the system time that schedules requests and
// the wrapping millisecond tick that times a whole run.
#pragma once
#include <cstdint>

namespace platform {

// System time in 100-ns units since 1601-01-01 UTC (FILETIME), plus the test
// offset below. Any thread.
uint64_t GetSystemTime();

// Milliseconds since boot, wrapping at 2^32 like GetTickCount. Any thread.
uint32_t GetTickCount32();

// Test seam: every later GetSystemTime() reads the real time plus offset
// (negative moves the clock back). Waitable timers honour the same offset, so
// an absolute due time computed from GetSystemTime() fires when it should.
void SetSystemTimeOffsetForTest(int64_t offset100ns);
int64_t GetSystemTimeOffsetForTest();

inline constexpr uint64_t kHundredNsPerMs = 10000;

}  // namespace platform
