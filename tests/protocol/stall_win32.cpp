// A stalled system call on Windows: a plain Sleep, which nothing but ending
// the thread cuts short.
#include <windows.h>

#include "test_server.h"

void StallInSystemCall(uint32_t ms) { ::Sleep(ms); }
