// The station mode (--watch): runs until stopped, and upgrades each
// configured module plugged in once, in an instance of its own as the
// upgrade of every module does (module_relay.h), with the places' states
// of station_places.h. Its console says, prefixed with the module's port,
// "plugged", "upgrading", the instance's lines and "unplugged"; with --json
// the instances' events, "plugged" and "unplugged" events and a running
// "summary" after each upgrade ends. Standard error says when the watch has
// begun (modules plugged in from then on are new) and when a stop request
// leaves upgrades in progress to end.
//
// Threads: main thread only.
#pragma once
#include <cstddef>

#include "upgrade/json_view.h"

struct sStationOptions {
  size_t jobs = 0;       // the most upgrades at once; 0: no cap
  bool newOnly = false;  // leave the modules present at the start alone
};

// Watches until a request to stop, which ends the watch for new modules
// and is passed on to the upgrades in progress, which end by their own rule
// (a second request abandons them); then says "Upgraded N of M modules" for
// the whole session (M upgrades started, N succeeded). True when none
// failed. json: the --json view; none: console lines.
bool WatchStation(const sStationOptions& options, cJsonLinesView* json);
