// cWaitableTimer on Win32: an unnamed one-shot waitable timer.
#include <windows.h>

#include "platform/alertable.h"
#include "platform/clock.h"

namespace platform {

struct cWaitableTimer::sImpl {
  cHandle handle{::CreateWaitableTimerW(nullptr, FALSE, nullptr)};
};

cWaitableTimer::cWaitableTimer() : impl_(new sImpl) {}

cWaitableTimer::~cWaitableTimer() { delete impl_; }

bool cWaitableTimer::IsValid() const { return impl_->handle.IsValid(); }

namespace {
bool SetDueTime(HANDLE timer, int64_t dueTime) {
  LARGE_INTEGER due;
  due.QuadPart = dueTime;
  return ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}
}  // namespace

bool cWaitableTimer::SetAbsolute(uint64_t dueSystemTime) {
  // Positive due times are absolute system times, which lack the test offset
  // that GetSystemTime adds; a time at or before 1601 fires at once.
  int64_t due = static_cast<int64_t>(dueSystemTime) - GetSystemTimeOffsetForTest();
  if (due <= 0) due = 1;
  return IsValid() && SetDueTime(impl_->handle.Get(), due);
}

bool cWaitableTimer::SetRelative(uint64_t duration100ns) {
  // Negative due times are relative; zero would be taken as absolute 1601.
  const int64_t duration = duration100ns == 0 ? 1 : static_cast<int64_t>(duration100ns);
  return IsValid() && duration > 0 && SetDueTime(impl_->handle.Get(), -duration);
}

bool cWaitableTimer::Cancel() { return IsValid() && ::CancelWaitableTimer(impl_->handle.Get()) != FALSE; }

const cHandle& cWaitableTimer::Handle() const { return impl_->handle; }

}  // namespace platform
