// Deadlines computed once from a millisecond time-out, for the waits of the
// POSIX platform layer, and the reset of an eventfd or timerfd signal.
#pragma once
#include <sys/timerfd.h>
#include <time.h>

#include <cstdint>

namespace platform {

// A CLOCK_MONOTONIC deadline; kInfinite (0xFFFFFFFF) means none.
class cDeadline {
 public:
  explicit cDeadline(uint32_t timeoutMs);
  bool IsInfinite() const { return infinite_; }
  bool HasPassed() const;
  // Time left, zero once passed (meaningless when infinite).
  timespec Remaining() const;

 private:
  bool infinite_;
  int64_t dueNs_ = 0;
};

int64_t MonotonicNowNs();

// CLOCK_MONOTONIC now plus timeoutMs, as an absolute time for the pthread
// calls that take one with their clock (pthread_mutex_clocklock): a step of
// the system time does not move it.
timespec MonotonicDeadline(uint32_t timeoutMs);

// A one-shot timerfd setting expiring at ns (absolute or relative, as the
// call says); 0 becomes the earliest expiry, since 0 would disarm the timer.
itimerspec OneShotTimer(int64_t ns);

// Reads (and so resets) the counter of a non-blocking eventfd or timerfd;
// false when it was not signalled.
bool ConsumeSignal(int fd);

}  // namespace platform
