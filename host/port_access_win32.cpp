// Why a Windows COM port could not be opened: Windows refuses a port that
// another program holds with "access denied"; a port that is gone is not
// found.
#include <windows.h>

#include "host/failure_hints.h"
#include "platform/errors.h"

namespace host {

std::vector<std::wstring> PortFailureHints(const std::wstring& portName, uint32_t error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return {portName +
              L" is in use by another program (a terminal, a modem tool or another updater); "
              L"close it and try again"};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
      return {VanishedPortHint(portName)};
    default:
      return {UnexplainedPortHint(portName, error)};
  }
}

}  // namespace host
