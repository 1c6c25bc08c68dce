// cThread on Win32: CreateThread, and queued calls as APCs, which run in the
// thread's alertable waits.
#include <windows.h>

#include <memory>

#include "platform/alertable.h"
#include "platform/thread_place.h"

namespace platform {

namespace {

struct sStartRecord {
  ThreadEntry entry;
  void* arg;
  std::shared_ptr<sThreadPlace> place;
  cEvent* running;  // set once the thread knows its place
};

DWORD WINAPI ThreadMain(void* p) {
  std::unique_ptr<sStartRecord> start(static_cast<sStartRecord*>(p));
  SetCurrentThreadPlace(std::move(start->place));
  start->running->Set();
  const ThreadEntry entry = start->entry;
  void* const arg = start->arg;
  start.reset();
  entry(arg);
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

// The exit code of a thread ended by its owner, or by itself once abandoned.
constexpr DWORD kEndedExitCode = 0xFFFFFFFFu;

struct cThread::sImpl {
  cHandle handle;
  DWORD id = 0;
  std::shared_ptr<sThreadPlace> place;
};

[[noreturn]] void EndCurrentThread() { ::ExitThread(kEndedExitCode); }

cThread::cThread() : impl_(std::make_unique<sImpl>()) {}

cThread::~cThread() = default;

// Windows breaks off only the synchronous calls of the thread it is asked
// about (CancelSynchronousIo): nothing stray reaches the others.
bool cThread::Start(ThreadEntry entry, void* arg, eInterrupts) {
  if (impl_->handle.IsValid() || entry == nullptr) return false;
  auto place = std::make_shared<sThreadPlace>();
  cEvent running;
  auto* start = new sStartRecord{entry, arg, place, &running};
  impl_->handle = cHandle(::CreateThread(nullptr, 0, ThreadMain, start, 0, &impl_->id));
  if (impl_->handle.IsValid()) {
    impl_->place = std::move(place);
    // Calls queued to a thread that has not started yet run as it starts,
    // before ThreadMain: the port calls among them would go unmarked.
    running.Wait(kInfinite);
    return true;
  }
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

bool cThread::AbandonInPortCall() { return IsStarted() && platform::AbandonInPortCall(*impl_->place); }

bool cThread::Terminate() { return IsStarted() && ::TerminateThread(impl_->handle.Get(), kEndedExitCode) != FALSE; }

void cThread::Close() {
  impl_->handle.Close();
  impl_->id = 0;
  impl_->place.reset();
}

}  // namespace platform
