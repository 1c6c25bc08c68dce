// Finds the serial port of an attached, configured module, and follows the
// module while it drops off the bus and comes back between protocol phases.
// Main thread only; reads the process-wide configuration map, which is
// complete before the first call.
#pragma once
#include <string>
#include <vector>

#include "host/com_port_interfaces.h"
#include "report/reporter.h"

namespace host {

// Every present COM-port interface whose identity is a configuration key and
// whose port name is not empty, in the system's order, with its identity and
// place. The first is the module an upgrade without a named port works on.
std::vector<sModulePort> ListDeviceModules();

// The module an upgrade works on. The phases connect to PortName(); after
// ordering the module to restart they wait for it here, and it may come back
// under another port name (Linux names a module's ttys afresh in each mode).
class cFollowedModule {
 public:
  // module: as the lookup found it at the start; named: the user chose it by
  // its port.
  cFollowedModule(sModulePort module, bool named)
      : module_(std::move(module)), named_(named), present_(!module_.portName.empty()) {}

  // The port the next phase opens; after a wait that found no port to open,
  // the one last used, which the phase names in its failure.
  const std::wstring& PortName() const { return module_.portName; }
  // The sysfs path of the USB device it was last found on (Linux; empty on
  // Windows).
  const std::wstring& UsbDevice() const { return module_.usbDevice; }
  // False when the last wait left no port to open (on Linux: nothing
  // configured at the module's place): the next phase opens nothing.
  bool HasPort() const { return present_; }
  // True when the last wait saw the module come back: its port may refuse an
  // open for a moment (IsPassingOpenRefusal).
  bool JustReturned() const { return justReturned_; }

  // Up to 50 checks 200 ms apart for the module to vanish, then up to 50 for
  // it to return. True when it came back; PortName() is then the port it came
  // back under, and a change of name is reported as a note. When the wait
  // runs out, a note says what was at the module's place, and the port for
  // the next phase is ModuleAfterWaitRanOut's. Whenever the port changes, the
  // new one is reported (sPort).
  bool WaitForReenumeration(const report::cReporter& reporter);

 private:
  sModulePort module_;
  bool named_;
  bool present_;
  bool justReturned_ = false;
};

}  // namespace host
