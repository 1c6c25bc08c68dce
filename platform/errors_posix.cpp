// Translates errno into the Windows codes that the rest of the program
// reports and compares, so that both platforms print the same numbers.
#include <cerrno>

#include "platform/errors.h"

namespace platform {

uint32_t GetLastErrorCode() {
  const int e = errno;
  switch (e) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOEXEC:
      return kErrorBadFormat;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EBUSY:
      return kErrorBusy;
    case ECANCELED:
      return kErrorOperationAborted;
    case ENODEV:
    case ENXIO:
    case EIO:
      return kErrorDeviceNotConnected;
    case ETIMEDOUT:
      return kErrorTimeout;
    default:
      return static_cast<uint32_t>(e);  // no Windows equivalent listed
  }
}

}  // namespace platform
