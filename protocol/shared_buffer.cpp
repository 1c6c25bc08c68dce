// Reference counting of shared buffers under the one process-wide lock.
#include "protocol/shared_buffer.h"

#include <cstring>
#include <mutex>

#include "platform/sync.h"

namespace {

// Whether the shared-buffer lock exists. Constant-initialised, so it reads
// false before static initialisation has made the lock and after exit has
// destroyed it; counts then change without locking (one thread runs).
bool gSharedBufferLockExists = false;

struct sSharedBufferLock {
  platform::cCriticalSection section{5000};
  sSharedBufferLock() { gSharedBufferLockExists = true; }
  ~sSharedBufferLock() { gSharedBufferLockExists = false; }
};

sSharedBufferLock gSharedBufferLock;

// Holds the shared-buffer lock for its scope when the lock exists.
class cCountGuard {
 public:
  cCountGuard() : locked_(gSharedBufferLockExists) {
    if (locked_) gSharedBufferLock.section.lock();
  }
  ~cCountGuard() {
    if (locked_) gSharedBufferLock.section.unlock();
  }
  cCountGuard(const cCountGuard&) = delete;
  cCountGuard& operator=(const cCountGuard&) = delete;

 private:
  bool locked_;
};

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
  cCountGuard guard;
  return refCount_;
}

void sSharedBuffer::AddRef() {
  cCountGuard guard;
  ++refCount_;
}

void sSharedBuffer::Release() {
  bool destroy;
  {
    cCountGuard guard;
    if (refCount_ > 0) --refCount_;
    destroy = refCount_ == 0;
  }
  // Nobody else holds a reference, so freeing outside the lock is safe.
  if (destroy) delete this;
}
