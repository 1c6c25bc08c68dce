// The last error of the calling thread is Windows' own code.
#include <windows.h>

#include "platform/errors.h"

namespace platform {

uint32_t GetLastErrorCode() { return ::GetLastError(); }

}  // namespace platform
