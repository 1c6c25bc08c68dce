// The upgrade of every configured module present, all at once: one instance
// of the program per module, each given its module's port (--port), whose
// lines are relayed as they come, each prefixed with that port.
//
// Threads: main thread only.
#pragma once
#include <vector>

#include "host/com_port_interfaces.h"

// Upgrades the module at each place among ports (ports that share a place
// are one module) and ends with "Upgraded N of M modules", counting a module
// upgraded when its instance printed "Upgraded in" and exited with success;
// true when every one of them (at least one) was. Never ended by a request
// to stop or by a console that goes away.
bool UpgradeAllModules(const std::vector<host::sModulePort>& ports);
