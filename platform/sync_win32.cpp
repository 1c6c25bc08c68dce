// Locks and events on the Win32 objects of the same names.
#include <windows.h>

#include "platform/sync.h"

namespace platform {

struct cCriticalSection::sImpl {
  CRITICAL_SECTION section;
};

cCriticalSection::cCriticalSection(uint32_t spinCount) : impl_(std::make_unique<sImpl>()) {
  ::InitializeCriticalSectionAndSpinCount(&impl_->section, spinCount);
}

cCriticalSection::~cCriticalSection() { ::DeleteCriticalSection(&impl_->section); }

void cCriticalSection::lock() { ::EnterCriticalSection(&impl_->section); }

void cCriticalSection::unlock() { ::LeaveCriticalSection(&impl_->section); }

struct cMutex::sImpl {
  cHandle handle{::CreateMutexW(nullptr, FALSE, nullptr)};
};

cMutex::cMutex() : impl_(std::make_unique<sImpl>()) {}

cMutex::~cMutex() = default;

bool cMutex::IsValid() const { return impl_->handle.IsValid(); }

eAcquire cMutex::Acquire(uint32_t timeoutMs) {
  if (!IsValid()) return eAcquire::Failed;
  switch (::WaitForSingleObject(impl_->handle.Get(), timeoutMs)) {
    case WAIT_OBJECT_0:
      return eAcquire::Acquired;
    case WAIT_ABANDONED:
      return eAcquire::Abandoned;
    case WAIT_TIMEOUT:
      return eAcquire::TimedOut;
    default:
      return eAcquire::Failed;
  }
}

void cMutex::Release() {
  if (IsValid()) ::ReleaseMutex(impl_->handle.Get());
}

cEvent::cEvent() : handle_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool cEvent::Set() { return IsValid() && ::SetEvent(handle_.Get()) != FALSE; }

bool cEvent::Wait(uint32_t timeoutMs) {
  return IsValid() && ::WaitForSingleObject(handle_.Get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace platform
