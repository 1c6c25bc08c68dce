// Monotonic deadlines for the waits of the POSIX platform layer.
#include "platform/deadline_posix.h"

#include "platform/sync.h"

namespace platform {

namespace {
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

timespec ToTimespec(int64_t ns) {
  return timespec{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}
}  // namespace

int64_t MonotonicNowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

cDeadline::cDeadline(uint32_t timeoutMs) : infinite_(timeoutMs == kInfinite) {
  if (!infinite_) dueNs_ = MonotonicNowNs() + static_cast<int64_t>(timeoutMs) * kNsPerMs;
}

bool cDeadline::HasPassed() const { return !infinite_ && MonotonicNowNs() >= dueNs_; }

timespec cDeadline::Remaining() const {
  const int64_t left = dueNs_ - MonotonicNowNs();
  return ToTimespec(left > 0 ? left : 0);
}

itimerspec OneShotTimer(int64_t ns) {
  itimerspec setting{};
  setting.it_value = ToTimespec(ns > 0 ? ns : 1);
  return setting;
}

timespec MonotonicDeadline(uint32_t timeoutMs) {
  return ToTimespec(MonotonicNowNs() + static_cast<int64_t>(timeoutMs) * kNsPerMs);
}

}  // namespace platform
