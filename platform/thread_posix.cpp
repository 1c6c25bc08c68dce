// cThread on pthreads. Each thread gets its reactor before Start returns, so
// calls can be queued to it at once; they run in its alertable waits. The
// interrupt signal's handler is installed once, as the program starts; the
// main thread blocks the signal then, so every thread it starts inherits it
// blocked, and only a thread started to take interrupts unblocks it.
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/alertable.h"
#include "platform/thread_place.h"
#include "platform/thread_reactor_posix.h"

namespace platform {

namespace {

// The started thread reports its id once it runs, and that it has ended
// once it has done its last work.
struct sThreadState {
  std::mutex lock;
  std::condition_variable changed;
  uint32_t id = 0;
  bool ended = false;
};

// Reports the end of the thread, also one that ends inside a port call
// (pthread_exit runs it as it unwinds the thread's stack).
struct sEndReport {
  std::shared_ptr<sThreadState> state;
  ~sEndReport() {
    {
      std::lock_guard<std::mutex> guard(state->lock);
      state->ended = true;
    }
    state->changed.notify_all();
  }
};

struct sStartRecord {
  ThreadEntry entry;
  void* arg;
  std::shared_ptr<cThreadReactor> reactor;
  std::shared_ptr<sThreadState> state;
  std::shared_ptr<sThreadPlace> place;
  eInterrupts interrupts;
};

// The signal that breaks off a blocked system call. Ignored by default, so a
// stray one harms nothing; its handler is installed without SA_RESTART.
constexpr int kInterruptSignal = SIGURG;

// A thread inherits its creator's mask, and a parent may start the program
// with the signal blocked or not: each thread sets it as it needs it.
void SetInterruptMask(eInterrupts interrupts) {
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, kInterruptSignal);
  pthread_sigmask(interrupts == eInterrupts::Accepted ? SIG_UNBLOCK : SIG_BLOCK, &interrupt, nullptr);
}

void* ThreadMain(void* p) {
  std::unique_ptr<sStartRecord> start(static_cast<sStartRecord*>(p));
  const sEndReport endReport{start->state};
  SetInterruptMask(start->interrupts);
  SetCurrentThreadPlace(std::move(start->place));
  InstallThreadReactor(std::move(start->reactor));
  {
    std::lock_guard<std::mutex> guard(start->state->lock);
    start->state->id = static_cast<uint32_t>(syscall(SYS_gettid));
  }
  start->state->changed.notify_all();
  start->entry(start->arg);
  RemoveThreadReactor();  // calls queued from now on are refused
  return nullptr;
}

// The handler that was installed before ours, if any: it still gets the
// signal (socket urgent data, say, for a program that embeds this one).
struct sigaction gPreviousAction {};

void OnInterrupt(int signal, siginfo_t* info, void* context) {
  if ((gPreviousAction.sa_flags & SA_SIGINFO) != 0) {
    if (gPreviousAction.sa_sigaction != nullptr) gPreviousAction.sa_sigaction(signal, info, context);
  } else if (gPreviousAction.sa_handler != SIG_DFL && gPreviousAction.sa_handler != SIG_IGN) {
    gPreviousAction.sa_handler(signal);
  }
}

// Blocks the signal in the calling thread, the main thread, before it starts
// any other: a stray one sent to the process (kill -URG) then waits for a
// thread that takes interrupts, and breaks off no console or trace write.
bool InstallInterruptHandler() {
  SetInterruptMask(eInterrupts::Blocked);
  struct sigaction action {};
  action.sa_sigaction = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // and no SA_RESTART: the blocked call fails with EINTR
  return sigaction(kInterruptSignal, &action, &gPreviousAction) == 0;
}

// Once, at start-up, on the main thread, before any thread could be
// interrupted.
const bool gInterruptHandlerInstalled = InstallInterruptHandler();

}  // namespace

[[noreturn]] void EndCurrentThread() { pthread_exit(nullptr); }

struct cThread::sImpl {
  pthread_t thread{};
  bool started = false;
  bool joined = false;
  uint32_t id = 0;
  std::shared_ptr<cThreadReactor> reactor;
  std::shared_ptr<sThreadState> state;
  std::shared_ptr<sThreadPlace> place;
};

cThread::cThread() : impl_(std::make_unique<sImpl>()) {}

cThread::~cThread() { Close(); }

bool cThread::Start(ThreadEntry entry, void* arg, eInterrupts interrupts) {
  if (impl_->started || entry == nullptr) return false;
  auto reactor = std::make_shared<cThreadReactor>();
  if (!reactor->IsValid()) return false;
  auto state = std::make_shared<sThreadState>();
  auto place = std::make_shared<sThreadPlace>();
  auto* start = new sStartRecord{entry, arg, reactor, state, place, interrupts};
  const int rc = pthread_create(&impl_->thread, nullptr, ThreadMain, start);
  if (rc != 0) {
    delete start;
    errno = rc;
    return false;
  }
  impl_->started = true;
  impl_->joined = false;
  impl_->reactor = std::move(reactor);
  impl_->place = std::move(place);
  std::unique_lock<std::mutex> lock(state->lock);
  state->changed.wait(lock, [&] { return state->id != 0; });
  impl_->id = state->id;
  impl_->state = std::move(state);
  return true;
}

bool cThread::IsStarted() const { return impl_->started; }

uint32_t cThread::Id() const { return impl_->started ? impl_->id : 0; }

bool cThread::QueueCall(QueuedCall fn, void* arg) {
  return impl_->started && fn != nullptr && impl_->reactor->Post(fn, arg);
}

// True only once the thread has really gone, as a Windows thread handle is
// signalled only then (a robust mutex it held is abandoned by that time).
// The bounded wait is for the thread's report that it has done its last
// work, on the monotonic clock; the join after it waits only for the thread's
// return. (pthread_clockjoin_np would do both at once, but the thread
// sanitizer does not follow it.)
bool cThread::Join(uint32_t timeoutMs) {
  if (!impl_->started) return false;
  if (impl_->joined) return true;
  sThreadState& state = *impl_->state;
  {
    std::unique_lock<std::mutex> lock(state.lock);
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!state.changed.wait_until(lock, due, [&] { return state.ended; })) return false;
  }
  impl_->joined = pthread_join(impl_->thread, nullptr) == 0;
  return impl_->joined;
}

void cThread::Interrupt() {
  if (gInterruptHandlerInstalled && impl_->started && !impl_->joined) pthread_kill(impl_->thread, kInterruptSignal);
}

bool cThread::AbandonInPortCall() {
  return impl_->started && !impl_->joined && platform::AbandonInPortCall(*impl_->place);
}

// A pthread cannot be ended from outside without leaving its locks and heap
// in an unknown state, so the thread keeps running and the caller is told.
bool cThread::Terminate() {
  errno = ENOTSUP;
  return false;
}

void cThread::Close() {
  if (!impl_->started) return;
  // An ended thread is reaped; a running one is let go and frees itself.
  if (!impl_->joined && pthread_tryjoin_np(impl_->thread, nullptr) != 0) pthread_detach(impl_->thread);
  impl_->started = false;
  impl_->joined = false;
  impl_->id = 0;
  impl_->reactor.reset();
  impl_->state.reset();
  impl_->place.reset();
}

}  // namespace platform
