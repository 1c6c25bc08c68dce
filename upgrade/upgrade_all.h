// The upgrade of every configured module present, all at once: one instance
// of the program per module, each given its module's port (--port) and
// --json, whose events are relayed as they come: as console lines prefixed
// with that port, or with --json as JSON lines that name it. On a terminal
// its progress events make one status line per module on standard error.
//
// Threads: main thread only.
#pragma once
#include <vector>

#include "host/com_port_interfaces.h"
#include "upgrade/json_view.h"

// Upgrades the module at each place among ports (ports that share a place
// are one module) and ends with "Upgraded N of M modules", counting a module
// upgraded when its instance printed "Upgraded in" and exited with success;
// true when every one of them (at least one) was. Never ended by a request
// to stop or by a console that goes away. json: the --json view, which also
// gets a "summary" event; none: console lines.
bool UpgradeAllModules(const std::vector<host::sModulePort>& ports, cJsonLinesView* json);
