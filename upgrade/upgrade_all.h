// The upgrade of every configured module present, all at once: one instance
// of the program per module, each given its module's port (--port), whose
// lines are relayed as they come, each prefixed with that port.
//
// Threads: main thread only.
#pragma once
#include <vector>

#include "device/discovery/com_port_interfaces.h"

// Upgrades each of modules and ends with "Upgraded N of M modules"; true
// when every one of them (at least one) was upgraded.
bool UpgradeAllModules(const std::vector<host::sModulePort>& modules);
