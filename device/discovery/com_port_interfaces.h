// The system's present COM-port device interfaces: their device paths in the
// system's order, and the port name of each (SetupAPI over
// GUID_DEVINTERFACE_COMPORT and the "PortName" value below HKEY_LOCAL_MACHINE
// on Windows; <sysfs>/class/tty and <dev> on Linux).
//
// Threads: one thread per snapshot (the main thread in the program).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

// The fields of a lower-cased device path "\\?\<enumerator>#<identity>#<instance>#{class}",
// with "\\?\" removed from the enumerator.
struct sDeviceInterfaceKey {
  std::wstring enumerator;
  std::wstring identity;  // vid_0a1b&pid_2c3d&mi_02
  std::wstring instance;
};

// A snapshot of the interfaces present when it was taken.
class cComPortInterfaces {
 public:
  virtual ~cComPortInterfaces() = default;
  // The device path of interface <index> (0, 1, ...); false when the
  // enumeration ends there, by its end or by a failure.
  virtual bool GetDevicePath(uint32_t index, std::wstring& path) = 0;
  // The port name of interface <index>, whose device path gave key; empty
  // when it has none or it cannot be read.
  virtual std::wstring ReadPortName(uint32_t index, const sDeviceInterfaceKey& key) = 0;
};

namespace host {

// A fresh snapshot; null when the system gives none.
std::unique_ptr<cComPortInterfaces> OpenPresentComPortInterfaces();

}  // namespace host
