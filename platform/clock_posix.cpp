// System time and tick count from the POSIX clocks.
#include <time.h>

#include "platform/clock.h"

namespace platform {

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
}  // namespace

uint64_t GetSystemTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const uint64_t real =
      kUnixEpochAsFileTime + static_cast<uint64_t>(ts.tv_sec) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100;
  return real + static_cast<uint64_t>(GetSystemTimeOffsetForTest());
}

uint32_t GetTickCount32() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000ull + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  return static_cast<uint32_t>(ms);
}

}  // namespace platform
