// The reference-counted byte buffer every packet and frame of the protocol
// framework travels in, and the buffer kinds that tag each one with its
// protocol and direction.
//
// Threads: a buffer's contents are written once, before it is shared, and only
// read afterwards. AddRef and Release may be called from any thread: every
// reference count is guarded by one process-wide lock (the shared-buffer lock).
// Lock order: a history's lock may be held while the shared-buffer lock is
// taken, never the reverse.
#pragma once
#include <cstdint>
#include <memory>

// Largest number of bytes a shared buffer carries.
inline constexpr uint32_t kMaxSharedBufferSize = 16640;

// Buffer kinds: received/sent per protocol.
inline constexpr int32_t kBufferKindDiagReceived = 2;
inline constexpr int32_t kBufferKindDiagSent = 3;
inline constexpr int32_t kBufferKindDlReceived = 4;
inline constexpr int32_t kBufferKindDlSent = 5;
inline constexpr int32_t kBufferKindSdlReceived = 6;
inline constexpr int32_t kBufferKindSdlSent = 7;

// A heap byte array of 1..kMaxSharedBufferSize bytes with a reference count.
// A new buffer has no references; the first holder takes one with AddRef and
// the last Release destroys it, so buffers handed to Release must have been
// made with new. A buffer asked to hold 0 bytes, more than the maximum or a
// null array is empty (null data, size 0) and therefore invalid.
class sSharedBuffer {
 public:
  // Copies size bytes from bytes.
  sSharedBuffer(int32_t kind, uint32_t size, const uint8_t* bytes);
  // Takes over the array without copying it (moving out of bytes); when the
  // buffer is refused (size out of range, null array) bytes is left as it was.
  sSharedBuffer(int32_t kind, uint32_t size, std::unique_ptr<uint8_t[]>&& bytes);
  virtual ~sSharedBuffer();
  sSharedBuffer(const sSharedBuffer&) = delete;
  sSharedBuffer& operator=(const sSharedBuffer&) = delete;

  // Data non-null and 1 <= size <= kMaxSharedBufferSize.
  bool IsValid() const;
  uint8_t* GetData() const { return data_.get(); }
  uint32_t GetSize() const { return size_; }
  int32_t GetKind() const { return kind_; }
  // The current count, read under the shared-buffer lock.
  uint32_t GetRefCount() const;

  void AddRef();
  // Drops one reference (when there is one); destroys the buffer when none is
  // left, so releasing a buffer that was never referenced destroys it.
  void Release();

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint32_t size_ = 0;
  int32_t kind_;
  uint32_t refCount_ = 0;
};
