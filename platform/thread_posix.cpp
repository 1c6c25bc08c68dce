// cThread on pthreads. Each thread gets its reactor before Start returns, so
// calls can be queued to it at once; they run in its alertable waits.
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/alertable.h"
#include "platform/deadline_posix.h"
#include "platform/thread_reactor_posix.h"

namespace platform {

namespace {

// The started thread reports its id once it runs.
struct sThreadState {
  std::mutex lock;
  std::condition_variable changed;
  uint32_t id = 0;
};

struct sStartRecord {
  ThreadEntry entry;
  void* arg;
  std::shared_ptr<cThreadReactor> reactor;
  std::shared_ptr<sThreadState> state;
};

void* ThreadMain(void* p) {
  std::unique_ptr<sStartRecord> start(static_cast<sStartRecord*>(p));
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

// The signal that breaks off a blocked system call. Ignored by default, so a
// stray one harms nothing; its handler is installed without SA_RESTART.
constexpr int kInterruptSignal = SIGURG;

void IgnoreInterrupt(int) {}

bool InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = IgnoreInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(kInterruptSignal, &action, nullptr) == 0;
}

}  // namespace

struct cThread::sImpl {
  pthread_t thread{};
  bool started = false;
  bool joined = false;
  uint32_t id = 0;
  std::shared_ptr<cThreadReactor> reactor;
};

cThread::cThread() : impl_(std::make_unique<sImpl>()) {}

cThread::~cThread() { Close(); }

bool cThread::Start(ThreadEntry entry, void* arg) {
  if (impl_->started || entry == nullptr) return false;
  auto reactor = std::make_shared<cThreadReactor>();
  if (!reactor->IsValid()) return false;
  auto state = std::make_shared<sThreadState>();
  auto* start = new sStartRecord{entry, arg, reactor, state};
  const int rc = pthread_create(&impl_->thread, nullptr, ThreadMain, start);
  if (rc != 0) {
    delete start;
    errno = rc;
    return false;
  }
  impl_->started = true;
  impl_->joined = false;
  impl_->reactor = std::move(reactor);
  std::unique_lock<std::mutex> lock(state->lock);
  state->changed.wait(lock, [&] { return state->id != 0; });
  impl_->id = state->id;
  return true;
}

bool cThread::IsStarted() const { return impl_->started; }

uint32_t cThread::Id() const { return impl_->started ? impl_->id : 0; }

bool cThread::QueueCall(QueuedCall fn, void* arg) {
  return impl_->started && fn != nullptr && impl_->reactor->Post(fn, arg);
}

// True only once the thread has really gone, as a Windows thread handle is
// signalled only then (a robust mutex it held is abandoned by that time).
bool cThread::Join(uint32_t timeoutMs) {
  if (!impl_->started) return false;
  if (impl_->joined) return true;
  int rc;
  if (timeoutMs == kInfinite) {
    rc = pthread_join(impl_->thread, nullptr);
  } else {
    const timespec deadline = RealtimeDeadline(timeoutMs);
    rc = pthread_timedjoin_np(impl_->thread, nullptr, &deadline);
  }
  impl_->joined = rc == 0;
  return impl_->joined;
}

void cThread::Interrupt() {
  static const bool installed = InstallInterruptHandler();
  if (installed && impl_->started && !impl_->joined) pthread_kill(impl_->thread, kInterruptSignal);
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
}

}  // namespace platform
