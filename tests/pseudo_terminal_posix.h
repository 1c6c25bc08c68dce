// The master side of a new pseudo-terminal for tests that play a device or
// a terminal window on Linux: the test reads and writes the master, the code
// under test opens the slave by its path.
//
// Threads: the test's own thread.
#pragma once
#include <fcntl.h>
#include <stdlib.h>

#include <string>

#include "platform/handle.h"

namespace test_support {

// An invalid handle when the system has no pseudo-terminal to give.
inline platform::cHandle OpenPseudoTerminal(std::string& slavePath) {
  platform::cHandle master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.IsValid() || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) return platform::cHandle();
  const char* path = ptsname(master.Get());
  if (path == nullptr) return platform::cHandle();
  slavePath = path;
  return master;
}

}  // namespace test_support
