// A stalled system call on Linux: poll without descriptors, which a signal
// without restart ends early.
#include <poll.h>

#include "test_server.h"

void StallInSystemCall(uint32_t ms) { poll(nullptr, 0, static_cast<int>(ms)); }
