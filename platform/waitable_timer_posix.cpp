// cWaitableTimer on one CLOCK_REALTIME timerfd. An absolute due time uses
// TFD_TIMER_ABSTIME and so follows changes of the system clock, as the
// Windows waitable timer it stands for does: the request engine schedules
// by system time and mends a clock set back itself, so this one stays on the
// wall clock on purpose. A relative due time is unaffected by clock changes
// (POSIX: setting CLOCK_REALTIME has no effect on relative timers, and Linux
// runs them on the monotonic base); the response time-out uses that.
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>

#include "platform/alertable.h"
#include "platform/clock.h"
#include "platform/deadline_posix.h"

namespace platform {

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;

}  // namespace

struct cWaitableTimer::sImpl {
  cHandle fd{timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)};
  // Set since the last cancel. A timer not set since then holds neither a
  // due time nor an unconsumed expiry, so cancelling it again changes nothing.
  bool set = false;
};

cWaitableTimer::cWaitableTimer() : impl_(std::make_unique<sImpl>()) {}

cWaitableTimer::~cWaitableTimer() = default;

bool cWaitableTimer::IsValid() const { return impl_->fd.IsValid(); }

bool cWaitableTimer::SetAbsolute(uint64_t dueSystemTime) {
  if (!IsValid()) return false;
  // The kernel clock lacks the test offset that GetSystemTime adds.
  const int64_t realDue = static_cast<int64_t>(dueSystemTime) - GetSystemTimeOffsetForTest();
  const int64_t sinceUnixEpoch = realDue > kUnixEpochAsFileTime ? realDue - kUnixEpochAsFileTime : 0;
  const itimerspec setting = OneShotTimer(std::min(sinceUnixEpoch, INT64_MAX / 100) * 100);
  impl_->set = true;
  return timerfd_settime(impl_->fd.Get(), TFD_TIMER_ABSTIME, &setting, nullptr) == 0;
}

bool cWaitableTimer::SetRelative(uint64_t duration100ns) {
  if (!IsValid()) return false;
  if (duration100ns > static_cast<uint64_t>(INT64_MAX / 100)) {
    errno = EINVAL;
    return false;
  }
  const itimerspec setting = OneShotTimer(static_cast<int64_t>(duration100ns) * 100);
  impl_->set = true;
  return timerfd_settime(impl_->fd.Get(), 0, &setting, nullptr) == 0;
}

bool cWaitableTimer::Cancel() {
  if (!IsValid()) return false;
  if (!impl_->set) return true;  // one system call less per streamed write
  // Disarming also drops an expiry that no wait has consumed yet, so a
  // cancelled time-out can never be reported afterwards.
  const itimerspec disarmed{};
  if (timerfd_settime(impl_->fd.Get(), 0, &disarmed, nullptr) != 0) return false;
  impl_->set = false;
  return true;
}

const cHandle& cWaitableTimer::Handle() const { return impl_->fd; }

}  // namespace platform
