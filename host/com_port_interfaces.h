// The system's present COM-port device interfaces: their device paths in the
// system's order, and the port name and place of each (SetupAPI over
// GUID_DEVINTERFACE_COMPORT and the "PortName" value below HKEY_LOCAL_MACHINE
// on Windows; <sysfs>/class/tty and <dev> on Linux). Also how this system
// tells one module from another while it restarts, and how a user may name
// its port.
//
// Threads: one thread per snapshot (the main thread in the program).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// The fields of a lower-cased device path "\\?\<enumerator>#<identity>#<instance>#{class}",
// with "\\?\" removed from the enumerator.
struct sDeviceInterfaceKey {
  std::wstring enumerator;
  std::wstring identity;  // vid_0a1b&pid_2c3d&mi_02
  std::wstring instance;
};

// Where a module stays while it restarts, and which enumeration of its USB
// device is seen there.
struct sUsbPlace {
  // Linux: the hub port of the interface's USB device together with that
  // port's twin (its `peer`, the other half of a USB 3 socket), as
  // "usb1-port4+usb2-port1"; the device's sysfs name where it has no `port`
  // link. Windows: the hub port of the device's location path
  // ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)", location_path.h), its
  // instance id where it has none.
  std::wstring place;
  // Linux: "<busnum>-<devnum>", new each time the device enumerates; empty
  // where the system does not tell (always on Windows).
  std::wstring enumeration;
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
  // Where interface <index> is plugged in: the sysfs name of its USB device
  // on Linux (1-4.2, bus and port path), its device instance id on Windows;
  // empty when it cannot be read.
  virtual std::wstring ReadLocation(uint32_t index, const sDeviceInterfaceKey& key) = 0;
  // The place and the enumeration of interface <index>; empty fields when
  // they cannot be read.
  virtual sUsbPlace ReadPlace(uint32_t index, const sDeviceInterfaceKey& key) = 0;
  // The real sysfs path of interface <index>'s USB device on Linux (the
  // device a modem manager knows the module by); empty where the system has
  // none (Windows) or it cannot be read.
  virtual std::wstring ReadUsbDevicePath(uint32_t, const sDeviceInterfaceKey&) { return {}; }
};

// A fresh snapshot; null when the system gives none.
std::unique_ptr<cComPortInterfaces> OpenPresentComPortInterfaces();

// A configured module's serial interface in a snapshot.
struct sModulePort {
  std::wstring portName;
  std::wstring identity;  // vid_0a1b&pid_2c3d&mi_02
  std::wstring location;  // as ReadLocation gives it
  std::wstring place;     // as ReadPlace gives them
  std::wstring enumeration;
  std::wstring usbDevice = {};  // as ReadUsbDevicePath gives it
};

// Which of the configured modules present now is the module an upgrade
// follows through its restarts, found as `followed` at the start; named: the
// user chose it by its port. Linux goes by the module's place (the kernel
// names the module's ttys afresh in each mode, and hands a freed name to
// whichever device comes next); Windows by the port name, which its driver
// keeps across modes, and without a named port any configured module counts.
// An empty port name when it is not present.
sModulePort FindFollowedModule(const std::vector<sModulePort>& present, const sModulePort& followed, bool named);

// The port the next phase opens after a wait for the module that ran out.
// Linux: the configured port at the module's place now, and an empty port
// name when there is none there (a port found elsewhere is never opened).
// Windows: the port found at the start, as after every wait.
sModulePort ModuleAfterWaitRanOut(const std::vector<sModulePort>& present, const sModulePort& followed, bool named);

// True for an open refusal that a port which has just come back may give for
// a moment, so that the open is tried again: on Linux a node whose group udev
// has not set yet (EACCES), or one a modem manager is probing (EBUSY). None on
// Windows, whose port handling stays as it is. error: the code of the status
// the protocol server's Connect returns.
bool IsPassingOpenRefusal(uint32_t error);

// True when a command-line argument is a path in the folder of the device
// nodes (<dev>/... on Linux, \\.\... on Windows).
bool IsDevicePath(const char* argument);

// A port named on the command line, in the system's encoding of arguments.
std::wstring PortFromArgument(const char* argument);

// True when `requested`, a port as a user writes it, names portName: on Linux
// a bare name is taken in <dev>, and a symbolic link names the node it leads
// to; on Windows the name is compared without regard to case.
bool NamesPort(const std::wstring& requested, const std::wstring& portName);

}  // namespace host
