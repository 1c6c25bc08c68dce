// The processes that hold a serial port open, as /proc shows them, for the
// hint on a port held by another program. Each descriptor's link text is
// compared with the port's device path as it stands: nothing is resolved, so
// a descriptor on a dead network mount cannot stall the look. The look is
// bounded in time, since a host may run thousands of processes.
//
// Threads: any thread; no shared state.
#pragma once
#include <chrono>
#include <string>
#include <vector>

namespace host {

struct sPortHolders {
  std::vector<std::string> names;  // "name (pid N)", or "pid N" when the name is empty
  bool cutShort = false;           // time ran out before every process was looked at
};

// Every process below procRoot ("/proc"), other than this one, with a
// descriptor whose link text is node (a resolved device path, as the kernel
// shows it). Stops once budget has passed and says so.
sPortHolders FindPortHolders(const std::string& procRoot, const std::string& node,
                             std::chrono::steady_clock::duration budget);

}  // namespace host
