// Test seam of the whole-program tests, preloaded into zntv-upgrade: every
// open of a path that starts with $ZNTV_STALL_OPEN_PREFIX first sits in one
// system call for $ZNTV_STALL_OPEN_MS milliseconds, as a port open in a USB
// driver gone bad does. A signal that breaks the call off fails the open with
// EINTR, as such a driver's open fails.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool Stalls(const char* path) {
  const char* prefix = std::getenv("ZNTV_STALL_OPEN_PREFIX");
  return path != nullptr && prefix != nullptr && *prefix != '\0' &&
         std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

// False when a signal broke the stall off.
bool Stall() {
  const char* ms = std::getenv("ZNTV_STALL_OPEN_MS");
  return poll(nullptr, 0, ms != nullptr ? std::atoi(ms) : 30000) == 0;
}

// The open behind symbol, after the stall; arguments holds the mode when
// flags ask for one.
int Open(const char* symbol, const char* path, int flags, va_list arguments) {
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
  if (Stalls(path) && !Stall()) {
    errno = EINTR;
    return -1;
  }
  using tOpen = int (*)(const char*, int, ...);
  auto real = reinterpret_cast<tOpen>(dlsym(RTLD_NEXT, symbol));
  if (real == nullptr) {
    errno = ENOSYS;
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
