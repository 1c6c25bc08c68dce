// The udev rules that --udev-rules prints for the installed configurations,
// for /etc/udev/rules.d/70-zntv-upgrade.rules: each module's tty ports go to
// the group dialout and to the user at the seat (uaccess), and ModemManager
// leaves the port the upgrade talks to (the configured interface) alone,
// while it keeps managing the modem's other ports.
//
// Threads: any; pure.
#pragma once
#include <string>
#include <vector>

#include "host/configuration.h"

struct sUdevRules {
  std::wstring text;                  // the whole file, ending in a line end
  std::vector<std::wstring> skipped;  // identities that cannot be written as a rule
};

// The rules for every configuration. An identity whose vendor, product or
// interface is not a hexadecimal number of four, four and two digits is left
// out and listed in skipped.
sUdevRules MakeUdevRules(const host::ConfigurationMap& configurations);
