// cThread on pthreads. Each thread gets its reactor before Start returns, so
// calls can be queued to it at once; they run in its alertable waits.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/alertable.h"
#include "platform/thread_reactor_posix.h"

namespace platform {

namespace {

// What the starting and the started thread share: the thread id, reported
// once it runs, and the end of the thread, for Join with a time-out.
struct sThreadState {
  std::mutex lock;
  std::condition_variable changed;
  uint32_t id = 0;
  bool ended = false;
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
  {
    std::lock_guard<std::mutex> guard(start->state->lock);
    start->state->ended = true;
  }
  start->state->changed.notify_all();
  return nullptr;
}

}  // namespace

struct cThread::sImpl {
  pthread_t thread{};
  bool started = false;
  std::shared_ptr<cThreadReactor> reactor;
  std::shared_ptr<sThreadState> state;
};

cThread::cThread() : impl_(new sImpl) {}

cThread::~cThread() {
  Close();
  delete impl_;
}

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
  impl_->reactor = std::move(reactor);
  impl_->state = std::move(state);
  std::unique_lock<std::mutex> lock(impl_->state->lock);
  impl_->state->changed.wait(lock, [this] { return impl_->state->id != 0; });
  return true;
}

bool cThread::IsStarted() const { return impl_->started; }

uint32_t cThread::Id() const {
  if (!impl_->started) return 0;
  std::lock_guard<std::mutex> guard(impl_->state->lock);
  return impl_->state->id;
}

bool cThread::QueueCall(QueuedCall fn, void* arg) {
  return impl_->started && fn != nullptr && impl_->reactor->Post(fn, arg);
}

bool cThread::Join(uint32_t timeoutMs) {
  if (!impl_->started) return false;
  std::unique_lock<std::mutex> lock(impl_->state->lock);
  auto ended = [this] { return impl_->state->ended; };
  if (timeoutMs == kInfinite) {
    impl_->state->changed.wait(lock, ended);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  return impl_->state->changed.wait_until(lock, deadline, ended);
}

// A pthread cannot be ended from outside without leaving its locks and heap
// in an unknown state, so the thread keeps running and the caller is told.
bool cThread::Terminate() {
  errno = ENOTSUP;
  return false;
}

void cThread::Close() {
  if (!impl_->started) return;
  bool ended;
  {
    std::lock_guard<std::mutex> guard(impl_->state->lock);
    ended = impl_->state->ended;
  }
  // An ended thread is reaped; a running one is let go and frees itself.
  if (ended) {
    pthread_join(impl_->thread, nullptr);
  } else {
    pthread_detach(impl_->thread);
  }
  impl_->started = false;
  impl_->reactor.reset();
  impl_->state.reset();
}

}  // namespace platform
