// HANDLE flavour of the owned handle.
#include <windows.h>

#include "platform/handle.h"

namespace platform {

NativeHandle cHandle::Invalid() { return INVALID_HANDLE_VALUE; }

bool cHandle::IsValid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

bool cHandle::Close() {
  if (!IsValid()) return true;
  return ::CloseHandle(std::exchange(h_, Invalid())) != FALSE;
}

}  // namespace platform
