// Test seam of the whole-program tests, preloaded into zntv-upgrade: every
// open of a path that starts with $ZNTV_STALL_OPEN_PREFIX first opens the
// FIFO $ZNTV_STALL_OPEN_FIFO for reading, which no one writes to: it sits in
// that system call, as a port open in a USB driver gone bad does. The kernel
// restarts that open after a signal whose handler asks for restart, so only
// an interrupt without restart breaks it off; the open then fails with
// EINTR, as such a driver's open fails.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using OpenCall = int (*)(const char*, int, ...);

bool Stalls(const char* path) {
  const char* prefix = std::getenv("ZNTV_STALL_OPEN_PREFIX");
  return path != nullptr && prefix != nullptr && *prefix != '\0' &&
         std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

// False when a signal broke the stall off (or there is no FIFO to stall in).
bool Stall(OpenCall real) {
  const char* fifo = std::getenv("ZNTV_STALL_OPEN_FIFO");
  if (fifo == nullptr) return false;
  const int fd = real(fifo, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The open behind symbol, after the stall; arguments holds the mode when
// flags ask for one.
int Open(const char* symbol, const char* path, int flags, va_list arguments) {
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
  auto real = reinterpret_cast<OpenCall>(dlsym(RTLD_NEXT, symbol));
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (Stalls(path) && !Stall(real)) {
    errno = EINTR;
    return -1;
  }
  return real(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const int fd = Open("open", path, flags, arguments);
  va_end(arguments);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const int fd = Open("open64", path, flags, arguments);
  va_end(arguments);
  return fd;
}
