// An owned operating-system handle that knows its own invalid value and
// closes itself: a HANDLE on Windows, a file descriptor elsewhere.
#pragma once
#include <utility>

namespace platform {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

class cHandle {
 public:
  cHandle() = default;
  explicit cHandle(NativeHandle h) : h_(h) {}
  ~cHandle() { Close(); }
  cHandle(cHandle&& other) noexcept : h_(std::exchange(other.h_, Invalid())) {}
  cHandle& operator=(cHandle&& other) noexcept {
    if (this != &other) {
      Close();
      h_ = std::exchange(other.h_, Invalid());
    }
    return *this;
  }
  cHandle(const cHandle&) = delete;
  cHandle& operator=(const cHandle&) = delete;

  // Both null and INVALID_HANDLE_VALUE mean "none" on Windows; -1 elsewhere.
  static NativeHandle Invalid();
  bool IsValid() const;
  NativeHandle Get() const { return h_; }
  NativeHandle Release() { return std::exchange(h_, Invalid()); }
  // Closes the handle if valid; false when the system refused to close it.
  bool Close();

 private:
  NativeHandle h_ = Invalid();
};

}  // namespace platform
