// The worker-thread machinery of a protocol server: a thread that other
// threads can queue calls to, one-shot waitable timers, and the one alertable
// wait in which a worker sleeps and runs its queued calls and the completions
// of the port transfers it started (QueueUserAPC, waitable timers and
// WaitForMultipleObjectsEx on Windows; an epoll-based layer of our own on
// Linux with the same guarantees).
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "platform/handle.h"
#include "platform/sync.h"

namespace platform {

// One-shot timer, auto-reset, initially not signalled. Owned and armed by one
// thread (a worker); waited on with WaitAlertable.
class cWaitableTimer {
 public:
  cWaitableTimer();
  ~cWaitableTimer();
  cWaitableTimer(const cWaitableTimer&) = delete;
  cWaitableTimer& operator=(const cWaitableTimer&) = delete;
  bool IsValid() const;
  // Due at an absolute system time (GetSystemTime units); a time already past
  // fires at once. Follows changes of the system clock.
  [[nodiscard]] bool SetAbsolute(uint64_t dueSystemTime);
  // Due after a duration in 100-ns units, measured on a clock that is not
  // affected by changes of the system clock.
  [[nodiscard]] bool SetRelative(uint64_t duration100ns);
  bool Cancel();
  const cHandle& Handle() const;

 private:
  struct sImpl;
  std::unique_ptr<sImpl> impl_;
};

// Something an alertable wait can wait for: an event or a timer.
class cWaitable {
 public:
  cWaitable(const cEvent& e) : handle_(&e.Handle()) {}          // NOLINT: implicit by design
  cWaitable(const cWaitableTimer& t) : handle_(&t.Handle()) {}  // NOLINT
  const cHandle& Handle() const { return *handle_; }

 private:
  const cHandle* handle_;
};

enum class eWake {
  Signalled,     // objects[index] was signalled (and, being auto-reset, is reset)
  IoCompletion,  // queued calls or transfer completions ran on this thread
  Timeout,
  Failed,
};

struct sWakeResult {
  eWake wake;
  size_t index;  // valid for Signalled
};

inline constexpr size_t kMaxWaitObjects = 8;

// Sleeps until one of the objects is signalled, a queued call or transfer
// completion of this thread has run, or timeoutMs passes. Queued calls and
// completions run only inside this wait, on the calling thread. At most
// kMaxWaitObjects objects. The calling thread must be a cThread or must have
// called PrepareAlertableThread.
[[nodiscard]] sWakeResult WaitAlertable(std::initializer_list<cWaitable> objects, uint32_t timeoutMs);

// Makes the calling thread able to run queued calls and transfer completions
// in WaitAlertable (done for every cThread; tests may call it on their own
// threads). Idempotent.
void PrepareAlertableThread();

// Marks the calling thread as inside a port system call (an open, a line
// set-up, a close of the serial port) while call runs, and returns call's
// result. call must be the system call itself and touch nothing else (no
// allocation, no lock: on Windows a thread may be ended forcibly inside it).
// A cThread whose owner gives up on it meanwhile (cThread::AbandonInPortCall)
// ends as the call returns, without going back to its caller: release(result)
// runs first, so that what the call made (a descriptor, a handle) is closed
// rather than lost; it too must be a system call and nothing else. Any other
// thread just makes the call.
void EnterPortCall();
// False when the calling thread was abandoned inside the call: it must
// release what the call returned and then EndAbandonedThread.
[[nodiscard]] bool LeavePortCall();
[[noreturn]] void EndAbandonedThread();
template <class Call, class Release>
auto InPortCall(Call&& call, Release&& release) {
  EnterPortCall();
  auto result = call();
  if (!LeavePortCall()) {
    release(result);
    EndAbandonedThread();
  }
  return result;
}
// A port call whose result holds nothing (a status).
template <class Call>
auto InPortCall(Call&& call) {
  return InPortCall(call, [](const auto&) {});
}

using ThreadEntry = void (*)(void* arg);

// Whether a thread can be interrupted (cThread::Interrupt).
enum class eInterrupts { Blocked, Accepted };
using QueuedCall = void (*)(void* arg);

// A thread that runs entry(arg) once. Start, QueueCall, Join, Terminate and
// Close are called by client threads (one at a time).
class cThread {
 public:
  cThread();
  ~cThread();  // closes the handle; does not stop the thread
  cThread(const cThread&) = delete;
  cThread& operator=(const cThread&) = delete;

  [[nodiscard]] bool Start(ThreadEntry entry, void* arg, eInterrupts interrupts = eInterrupts::Blocked);
  bool IsStarted() const;
  uint32_t Id() const;
  // Queues fn(arg) to run on this thread during its next alertable wait, on
  // this thread only. (Start returns once the thread runs, so no call
  // queued after it runs before the thread's own set-up.)
  [[nodiscard]] bool QueueCall(QueuedCall fn, void* arg);
  // True when the thread has ended within timeoutMs, measured on a clock
  // that changes of the system time do not move.
  bool Join(uint32_t timeoutMs);
  // Breaks off a system call in which the thread is blocked (a device open
  // that a driver does not finish), so that the call fails and the thread
  // goes on: CancelSynchronousIo on Windows; on Linux a signal (SIGURG) whose
  // handler installed at start-up does nothing else and does not restart the
  // call (EINTR). Only a thread started with eInterrupts::Accepted takes the
  // signal: every other thread of the program, the main thread included,
  // keeps it blocked, so that a stray one sent to the process breaks off
  // none of their calls. A thread in its alertable wait just wakes and waits
  // on. One interrupt can land between two calls: callers waiting for the
  // thread send it again.
  void Interrupt();
  // Gives up on a thread that sits inside a port system call (InPortCall):
  // true when it did, and the thread then ends as that call returns without
  // touching anything of its caller's; false when it is elsewhere, and it
  // goes on as before.
  [[nodiscard]] bool AbandonInPortCall();
  // Ends the thread forcibly where the platform can (TerminateThread); false
  // where it cannot, and the thread keeps running. Only for a thread that
  // holds nothing: one that has left its work, or one abandoned in a port
  // call. The thread may still be ending on return: Join it.
  [[nodiscard]] bool Terminate();
  // Releases the handle of an ended (or terminated) thread.
  void Close();

 private:
  struct sImpl;
  std::unique_ptr<sImpl> impl_;
};

}  // namespace platform
