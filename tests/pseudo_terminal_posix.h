// The master side of a new pseudo-terminal for tests that play a device or
// a terminal window on Linux: the test reads and writes the master, the code
// under test opens the slave by its path. And standard error on such a
// terminal, for tests of what a person watching it would see.
//
// Threads: the test's own thread.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
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

// Standard error on a raw pseudo-terminal (the bytes as written, without
// newline translation) that claims cursor control, with the status line not
// turned off by the environment, from Start until destruction.
class cStandardErrorOnTerminal {
 public:
  cStandardErrorOnTerminal() = default;
  cStandardErrorOnTerminal(const cStandardErrorOnTerminal&) = delete;
  cStandardErrorOnTerminal& operator=(const cStandardErrorOnTerminal&) = delete;
  ~cStandardErrorOnTerminal() {
    std::fflush(stderr);
    if (savedError_.IsValid()) dup2(savedError_.Get(), STDERR_FILENO);
    unsetenv("ZNTV_NO_PROGRESS");
  }

  // False when the terminal could not be set up.
  bool Start() {
    std::string slavePath;
    master_ = OpenPseudoTerminal(slavePath);
    if (!master_.IsValid()) return false;
    const platform::cHandle slave(open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios raw{};
    if (!slave.IsValid() || tcgetattr(slave.Get(), &raw) != 0) return false;
    cfmakeraw(&raw);
    if (tcsetattr(slave.Get(), TCSANOW, &raw) != 0) return false;
    std::fflush(stderr);
    savedError_ = platform::cHandle(dup(STDERR_FILENO));
    return savedError_.IsValid() && dup2(slave.Get(), STDERR_FILENO) == STDERR_FILENO &&
           setenv("TERM", "xterm", 1) == 0 && unsetenv("ZNTV_NO_PROGRESS") == 0;
  }

  // Everything the terminal has received so far.
  std::string Shown() {
    std::string got;
    pollfd fd{master_.Get(), POLLIN, 0};
    while (poll(&fd, 1, 100) == 1) {
      char chunk[4096];
      const ssize_t n = read(master_.Get(), chunk, sizeof chunk);
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  platform::cHandle master_;
  platform::cHandle savedError_;
};

}  // namespace test_support
