// File-descriptor flavour of the owned handle.
#include <unistd.h>

#include "platform/handle.h"

namespace platform {

NativeHandle cHandle::Invalid() { return -1; }

bool cHandle::IsValid() const { return h_ >= 0; }

bool cHandle::Close() {
  if (!IsValid()) return true;
  // The descriptor is gone even when close reports an error (EINTR included),
  // so it is never closed twice.
  return ::close(std::exchange(h_, Invalid())) == 0;
}

}  // namespace platform
