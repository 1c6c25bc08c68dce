// The worker machinery on Win32: queued calls are APCs, the alertable wait is
// WaitForMultipleObjectsEx, timers are unnamed one-shot waitable timers.
#include <windows.h>

#include "platform/alertable.h"
#include "platform/clock.h"

namespace platform {

// ---- cWaitableTimer ----------------------------------------------------

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

// ---- WaitAlertable -----------------------------------------------------

sWakeResult WaitAlertable(std::initializer_list<cWaitable> objects, uint32_t timeoutMs) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
  if (objects.size() > 8) return {eWake::Failed, 0};
  DWORD count = 0;
  for (const cWaitable& object : objects) handles[count++] = object.Handle().Get();
  // With nothing to wait for, an alertable sleep gives the same wake-ups.
  const DWORD rc = count == 0 ? ::SleepEx(timeoutMs, TRUE)
                              : ::WaitForMultipleObjectsEx(count, handles, FALSE, timeoutMs, TRUE);
  if (count == 0 && rc == 0) return {eWake::Timeout, 0};
  if (rc < WAIT_OBJECT_0 + count) return {eWake::Signalled, rc - WAIT_OBJECT_0};
  if (rc == WAIT_IO_COMPLETION) return {eWake::IoCompletion, 0};
  if (rc == WAIT_TIMEOUT) return {eWake::Timeout, 0};
  return {eWake::Failed, 0};
}

// Every Windows thread can run APCs and completion routines.
void PrepareAlertableThread() {}

// ---- cThread -----------------------------------------------------------

namespace {

struct sStartRecord {
  ThreadEntry entry;
  void* arg;
};

DWORD WINAPI ThreadMain(void* p) {
  const sStartRecord start = *static_cast<sStartRecord*>(p);
  delete static_cast<sStartRecord*>(p);
  start.entry(start.arg);
  return 0;
}

// QueueUserAPC hands over one pointer-sized argument: the call record.
struct sCallRecord {
  QueuedCall fn;
  void* arg;
};

void CALLBACK RunQueuedCall(ULONG_PTR p) {
  const sCallRecord call = *reinterpret_cast<sCallRecord*>(p);
  delete reinterpret_cast<sCallRecord*>(p);
  call.fn(call.arg);
}

}  // namespace

struct cThread::sImpl {
  cHandle handle;
  DWORD id = 0;
};

cThread::cThread() : impl_(new sImpl) {}

cThread::~cThread() { delete impl_; }

bool cThread::Start(ThreadEntry entry, void* arg) {
  if (impl_->handle.IsValid() || entry == nullptr) return false;
  auto* start = new sStartRecord{entry, arg};
  impl_->handle = cHandle(::CreateThread(nullptr, 0, ThreadMain, start, 0, &impl_->id));
  if (impl_->handle.IsValid()) return true;
  delete start;
  impl_->id = 0;
  return false;
}

bool cThread::IsStarted() const { return impl_->handle.IsValid(); }

uint32_t cThread::Id() const { return impl_->id; }

bool cThread::QueueCall(QueuedCall fn, void* arg) {
  if (!IsStarted() || fn == nullptr) return false;
  auto* call = new sCallRecord{fn, arg};
  if (::QueueUserAPC(RunQueuedCall, impl_->handle.Get(), reinterpret_cast<ULONG_PTR>(call)) != 0) return true;
  delete call;
  return false;
}

bool cThread::Join(uint32_t timeoutMs) {
  return IsStarted() && ::WaitForSingleObject(impl_->handle.Get(), timeoutMs) == WAIT_OBJECT_0;
}

void cThread::Interrupt() {
  if (IsStarted()) ::CancelSynchronousIo(impl_->handle.Get());
}

bool cThread::Terminate() { return IsStarted() && ::TerminateThread(impl_->handle.Get(), 0xFFFFFFFFu) != FALSE; }

void cThread::Close() {
  impl_->handle.Close();
  impl_->id = 0;
}

}  // namespace platform
