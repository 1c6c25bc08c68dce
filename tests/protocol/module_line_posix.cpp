// The module's end of the line on Linux: a pseudo-terminal master, and a
// self-pipe that wakes its reader.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "module_line.h"

struct cModuleLine::sImpl {
  int master = -1;
  int slaveHold = -1;  // keeps the line up while no server has it open
  int wake[2] = {-1, -1};
  std::string slave;
};

cModuleLine::cModuleLine() : impl_(new sImpl) {
  impl_->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (impl_->master < 0 || grantpt(impl_->master) != 0 || unlockpt(impl_->master) != 0) return;
  char name[128];
  if (ptsname_r(impl_->master, name, sizeof name) != 0) return;
  impl_->slave = name;
  impl_->slaveHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (impl_->slaveHold >= 0 && tcgetattr(impl_->slaveHold, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(impl_->slaveHold, TCSANOW, &raw);
  }
  if (pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) impl_->wake[0] = impl_->wake[1] = -1;
}

cModuleLine::~cModuleLine() {
  HangUp();
  for (int fd : impl_->wake) {
    if (fd >= 0) close(fd);
  }
  delete impl_;
}

bool cModuleLine::IsOpen() const { return impl_->master >= 0 && !impl_->slave.empty(); }

std::wstring cModuleLine::PortName() const { return std::wstring(impl_->slave.begin(), impl_->slave.end()); }

bool cModuleLine::Write(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(impl_->master, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

long cModuleLine::Read(uint8_t* buffer, size_t capacity) {
  for (;;) {
    pollfd fds[2] = {{impl_->master, POLLIN, 0}, {impl_->wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents != 0) {
      char drain[16];
      while (read(impl_->wake[0], drain, sizeof drain) > 0) {
      }
      return 0;
    }
    const ssize_t n = read(impl_->master, buffer, capacity);
    if (n > 0) return n;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return -1;
  }
}

void cModuleLine::Interrupt() {
  const char one = 1;
  if (impl_->wake[1] >= 0) (void)!write(impl_->wake[1], &one, 1);
}

void cModuleLine::HangUp() {
  if (impl_->master >= 0) close(impl_->master);
  if (impl_->slaveHold >= 0) close(impl_->slaveHold);
  impl_->master = impl_->slaveHold = -1;
}
