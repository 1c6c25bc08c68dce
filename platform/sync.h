// Locks and signals shared between client threads and protocol-server
// workers: a spinning critical section, a mutex with a time-out and an
// auto-reset event that a worker can also wait on alertably.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/handle.h"

namespace platform {

// Short-held lock with a spin count (CRITICAL_SECTION on Windows). Meets the
// BasicLockable requirements, so std::lock_guard works. Any thread.
class cCriticalSection {
 public:
  explicit cCriticalSection(uint32_t spinCount = 5000);
  ~cCriticalSection();
  cCriticalSection(const cCriticalSection&) = delete;
  cCriticalSection& operator=(const cCriticalSection&) = delete;
  void lock();
  void unlock();

 private:
  struct sImpl;
  std::unique_ptr<sImpl> impl_;
};

enum class eAcquire { Acquired, Abandoned, TimedOut, Failed };

// Mutex with a bounded wait (CreateMutexW / WaitForSingleObject). Abandoned is
// reported when the previous owner thread ended while holding it. Any thread;
// Release only on the owning thread.
class cMutex {
 public:
  cMutex();
  ~cMutex();
  cMutex(const cMutex&) = delete;
  cMutex& operator=(const cMutex&) = delete;
  bool IsValid() const;
  [[nodiscard]] eAcquire Acquire(uint32_t timeoutMs);
  void Release();

 private:
  struct sImpl;
  std::unique_ptr<sImpl> impl_;
};

// Auto-reset event, initially not signalled: one Wait (or one alertable wait
// that reports it) consumes one Set. Set from any thread; Wait from any one
// thread at a time.
class cEvent {
 public:
  cEvent();
  ~cEvent() = default;
  cEvent(const cEvent&) = delete;
  cEvent& operator=(const cEvent&) = delete;
  bool IsValid() const { return handle_.IsValid(); }
  bool Set();
  // True when signalled within timeoutMs (which may be kInfinite).
  bool Wait(uint32_t timeoutMs);
  const cHandle& Handle() const { return handle_; }

 private:
  cHandle handle_;
};

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

}  // namespace platform
