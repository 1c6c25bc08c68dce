// The status of a failed call, the same on both systems once their codes are
// translated.
#include "platform/errors.h"

namespace platform {

sStatus LastErrorStatus() {
  const uint32_t code = GetLastErrorCode();
  return {code != kErrorSuccess ? code : kErrorGenFailure};
}

}  // namespace platform
