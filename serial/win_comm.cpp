// The platform-independent half of the serial port: readiness, the port
// name rules and the order of the steps of Open.
#include "serial/win_comm.h"

namespace {

const std::wstring kDeviceNamespace = L"\\\\.\\";

std::wstring WithoutDeviceNamespace(std::wstring path) {
  for (size_t at = path.find(kDeviceNamespace); at != std::wstring::npos; at = path.find(kDeviceNamespace, at)) {
    path.erase(at, kDeviceNamespace.size());
  }
  return path;
}

}  // namespace

bool cWinComm::IsReady() const { return RxCallback != nullptr && TxCallback != nullptr; }

std::wstring cWinComm::GetPortName() const { return portName_; }

bool cWinComm::Open(const std::wstring& portName, bool exclusive) {
  if (!IsReady() || portName.empty()) return false;
  if (IsOpen()) Close();
  if (!OpenPath(PathFor(portName), exclusive)) return false;
  portName_ = WithoutDeviceNamespace(PathFor(portName));
  return true;
}
