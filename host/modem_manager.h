// Keeps a host's ModemManager away from the module while it is upgraded: a
// modem manager that manages the module probes its ports and re-opens them
// whenever the module comes back between the phases, which disturbs the
// module while it changes mode. On Linux, when ModemManager owns its name on
// the system bus and one of its modems is the module's USB device, the
// device is inhibited over D-Bus (sd-bus from libsystemd, loaded at run time,
// so that a host without it, and the static build, run as before) for as
// long as the connection stays open; Windows has nothing to inhibit.
//
// Threads: the main thread only (one sd-bus connection, used where it was
// made).
#pragma once
#include <memory>
#include <string>

#include "report/reporter.h"

namespace host {

// What --version says after "ModemManager inhibition: ": "available", or
// "not available (<why>)"; empty where there is no such thing (Windows).
// Loads the library but touches no bus.
std::wstring ModemManagerInhibitionAvailability();

// One run's inhibition of its module. Nothing is asked until Inhibit; the
// destructor ends what Release has not.
class cModemManagerInhibition {
 public:
  cModemManagerInhibition();
  ~cModemManagerInhibition();
  cModemManagerInhibition(const cModemManagerInhibition&) = delete;
  cModemManagerInhibition& operator=(const cModemManagerInhibition&) = delete;

  // When ModemManager is running and manages the USB device at usbDevice (its
  // real sysfs path; empty: nothing is done), asks it to leave the device
  // alone, and keeps the connection that holds the inhibition open. Without
  // libsystemd, a system bus or ModemManager it does nothing and costs next
  // to nothing; a call that fails or times out (each is given about 2 s) is
  // said in a note, and the run goes on without it.
  void Inhibit(const std::wstring& usbDevice, const report::cReporter& reporter);
  // Hands the device back to ModemManager (a failure is said in a note) and
  // closes the connection; nothing when nothing was inhibited.
  void Release(const report::cReporter& reporter);

 private:
  struct sConnection;
  std::unique_ptr<sConnection> connection_;
};

}  // namespace host
