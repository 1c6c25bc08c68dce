// Finds the serial port of an attached, configured module, and follows the
// module while it drops off the bus and comes back between protocol phases.
// Main thread only; reads the process-wide configuration map, which is
// complete before the first call.
#pragma once
#include <string>
#include <vector>

#include "device/discovery/com_port_interfaces.h"

// Every present COM-port interface whose identity is a configuration key and
// whose port name is not empty, in the system's order, with its identity and
// place. The first is the module an upgrade without a named port works on.
std::vector<host::sModulePort> ListDeviceModules();

// The module an upgrade works on. The phases connect to PortName(); after
// ordering the module to restart they wait for it here, and it may come back
// under another port name (Linux names a module's ttys afresh in each mode).
class cFollowedModule {
 public:
  // module: as the lookup found it at the start; named: the user chose it by
  // its port.
  cFollowedModule(host::sModulePort module, bool named) : module_(std::move(module)), named_(named) {}

  const std::wstring& PortName() const { return module_.portName; }

  // Up to 50 checks 200 ms apart for the module to vanish, then up to 50 for
  // it to return. True when it is present at the end; PortName() is then the
  // port it came back under, and a change of name is noted on standard error.
  bool WaitForReenumeration();

 private:
  host::sModulePort module_;
  bool named_;
};
