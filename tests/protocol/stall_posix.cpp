// A stalled system call on Linux: a read of an empty pipe, marked as a port
// call like the open it stands for. The kernel restarts that read after a
// signal whose handler asks for restart (SA_RESTART), so only an interrupt
// without restart breaks it off; a helper closes the pipe after ms otherwise.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/alertable.h"
#include "test_server.h"

void StallInSystemCall(uint32_t ms) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::thread([writeEnd = fds[1], ms] {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    close(writeEnd);
  }).detach();
  char byte;
  platform::InPortCall([fd = fds[0], &byte] { return read(fd, &byte, 1); });
  close(fds[0]);
}
