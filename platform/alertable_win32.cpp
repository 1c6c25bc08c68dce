// The alertable wait on Win32: WaitForMultipleObjectsEx, which also runs the
// thread's APCs and I/O completion routines.
#include <windows.h>

#include "platform/alertable.h"

namespace platform {

sWakeResult WaitAlertable(std::initializer_list<cWaitable> objects, uint32_t timeoutMs) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
  if (objects.size() > kMaxWaitObjects) return {eWake::Failed, 0};
  DWORD count = 0;
  for (const cWaitable& object : objects) handles[count++] = object.Handle().Get();
  // With nothing to wait for, an alertable sleep gives the same wake-ups.
  const DWORD rc =
      count == 0 ? ::SleepEx(timeoutMs, TRUE) : ::WaitForMultipleObjectsEx(count, handles, FALSE, timeoutMs, TRUE);
  if (count == 0 && rc == 0) return {eWake::Timeout, 0};
  if (rc < WAIT_OBJECT_0 + count) return {eWake::Signalled, rc - WAIT_OBJECT_0};
  if (rc == WAIT_IO_COMPLETION) return {eWake::IoCompletion, 0};
  if (rc == WAIT_TIMEOUT) return {eWake::Timeout, 0};
  return {eWake::Failed, 0};
}

// Every Windows thread can run APCs and completion routines.
void PrepareAlertableThread() {}

}  // namespace platform
