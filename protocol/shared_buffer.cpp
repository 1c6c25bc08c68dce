// Reference counting of shared buffers under the one process-wide lock.
#include "protocol/shared_buffer.h"

#include <cstring>
#include <mutex>

#include "platform/sync.h"

namespace {

// The one lock of every count. Never destroyed, and made at its first use:
// a worker the program could not stop may still release a buffer while the
// program exits, and a static object may take a buffer before main runs.
platform::cCriticalSection& CountLock() {
  static auto* const section = new platform::cCriticalSection(5000);
  return *section;
}

bool AcceptableSize(uint32_t size) { return size >= 1 && size <= kMaxSharedBufferSize; }

}  // namespace

sSharedBuffer::sSharedBuffer(int32_t kind, uint32_t size, const uint8_t* bytes) : kind_(kind) {
  if (!bytes || !AcceptableSize(size)) return;
  data_ = std::make_unique<uint8_t[]>(size);
  std::memcpy(data_.get(), bytes, size);
  size_ = size;
}

sSharedBuffer::sSharedBuffer(int32_t kind, uint32_t size, std::unique_ptr<uint8_t[]>&& bytes) : kind_(kind) {
  if (!bytes || !AcceptableSize(size)) return;
  data_ = std::move(bytes);
  size_ = size;
}

sSharedBuffer::~sSharedBuffer() = default;

bool sSharedBuffer::IsValid() const { return data_ && AcceptableSize(size_); }

uint32_t sSharedBuffer::GetRefCount() const {
  const std::lock_guard guard(CountLock());
  return refCount_;
}

void sSharedBuffer::AddRef() {
  const std::lock_guard guard(CountLock());
  ++refCount_;
}

void sSharedBuffer::Release() {
  bool destroy;
  {
    const std::lock_guard guard(CountLock());
    if (refCount_ > 0) --refCount_;
    destroy = refCount_ == 0;
  }
  // Nobody else holds a reference, so freeing outside the lock is safe.
  if (destroy) delete this;
}
