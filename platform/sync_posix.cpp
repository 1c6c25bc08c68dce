// Locks and events on pthreads and eventfd. The event is an eventfd so that
// the alertable wait can poll it together with timers and port descriptors.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "platform/deadline_posix.h"
#include "platform/sync.h"

namespace platform {

// ---- cCriticalSection: spin on try-lock, then block --------------------

namespace {
void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  sched_yield();
#endif
}
}  // namespace

struct cCriticalSection::sImpl {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  uint32_t spinCount = 0;
};

cCriticalSection::cCriticalSection(uint32_t spinCount) : impl_(std::make_unique<sImpl>()) {
  impl_->spinCount = spinCount;
}

cCriticalSection::~cCriticalSection() { pthread_mutex_destroy(&impl_->mutex); }

void cCriticalSection::lock() {
  for (uint32_t i = 0; i < impl_->spinCount; ++i) {
    if (pthread_mutex_trylock(&impl_->mutex) == 0) return;
    SpinPause();
  }
  pthread_mutex_lock(&impl_->mutex);
}

void cCriticalSection::unlock() { pthread_mutex_unlock(&impl_->mutex); }

// ---- cMutex: recursive like a Windows mutex, robust for Abandoned -------

namespace {

// pthread_mutex_clocklock on the monotonic clock. The thread sanitizer does
// not intercept that call, so it is told of the attempt as of a try-lock.
int LockBefore(pthread_mutex_t& mutex, const timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
  __tsan_mutex_pre_lock(&mutex, __tsan_mutex_try_lock);
  const int rc = pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &deadline);
  const bool locked = rc == 0 || rc == EOWNERDEAD;
  __tsan_mutex_post_lock(&mutex, __tsan_mutex_try_lock | (locked ? 0 : __tsan_mutex_try_lock_failed), 0);
  return rc;
#else
  return pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

struct cMutex::sImpl {
  pthread_mutex_t mutex;
  bool valid = false;
};

cMutex::cMutex() : impl_(std::make_unique<sImpl>()) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return;
  const bool configured = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                          pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
  impl_->valid = configured && pthread_mutex_init(&impl_->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
}

cMutex::~cMutex() {
  if (impl_->valid) pthread_mutex_destroy(&impl_->mutex);
}

bool cMutex::IsValid() const { return impl_->valid; }

eAcquire cMutex::Acquire(uint32_t timeoutMs) {
  if (!impl_->valid) return eAcquire::Failed;
  // Try first: a free or abandoned mutex is taken without a deadline.
  int rc = pthread_mutex_trylock(&impl_->mutex);
  if (rc == EBUSY && timeoutMs == 0) return eAcquire::TimedOut;
  if (rc == EBUSY && timeoutMs == kInfinite) rc = pthread_mutex_lock(&impl_->mutex);
  if (rc == EBUSY) {
    // The lock takes an absolute deadline, computed once, on the monotonic
    // clock: a step of the system time neither stretches nor cuts the wait.
    // (ThreadSanitizer follows an abandoned mutex taken over through trylock
    // or lock but not through this call; no thread of the program ends while
    // holding a mutex another thread waits for.)
    rc = LockBefore(impl_->mutex, MonotonicDeadline(timeoutMs));
  }
  switch (rc) {
    case 0:
      return eAcquire::Acquired;
    case EOWNERDEAD:
      // The previous owner ended while holding it: the caller owns it now.
      pthread_mutex_consistent(&impl_->mutex);
      return eAcquire::Abandoned;
    case ETIMEDOUT:
      return eAcquire::TimedOut;
    default:
      errno = rc;
      return eAcquire::Failed;
  }
}

void cMutex::Release() {
  if (impl_->valid) pthread_mutex_unlock(&impl_->mutex);
}

// ---- cEvent: eventfd whose counter is read (reset) by the one waiter ----

cEvent::cEvent() : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

bool cEvent::Set() {
  const uint64_t one = 1;
  return IsValid() && write(handle_.Get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

bool cEvent::Wait(uint32_t timeoutMs) {
  if (!IsValid()) return false;
  const cDeadline deadline(timeoutMs);
  for (;;) {
    if (ConsumeSignal(handle_.Get())) return true;
    pollfd fd{handle_.Get(), POLLIN, 0};
    const timespec remaining = deadline.Remaining();
    const int n = ppoll(&fd, 1, deadline.IsInfinite() ? nullptr : &remaining, nullptr);
    if (n < 0 && errno != EINTR) return false;
    if (n == 0 && deadline.HasPassed()) return false;
  }
}

bool ConsumeSignal(int fd) {
  uint64_t count = 0;
  return read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

}  // namespace platform
