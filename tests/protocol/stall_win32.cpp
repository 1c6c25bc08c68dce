// A stalled system call on Windows: a plain Sleep, which nothing but ending
// the thread cuts short, marked as a port call like the open it stands for.
#include <windows.h>

#include "platform/alertable.h"
#include "test_server.h"

void StallInSystemCall(uint32_t ms) {
  platform::InPortCall([ms] {
    ::Sleep(ms);
    return 0;
  });
}
