// System time and tick count from Windows.
#include <windows.h>

#include "platform/clock.h"

namespace platform {

uint64_t GetSystemTime() {
  FILETIME ft{};
  ::GetSystemTimeAsFileTime(&ft);
  const uint64_t real = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return real + static_cast<uint64_t>(GetSystemTimeOffsetForTest());
}

uint32_t GetTickCount32() { return static_cast<uint32_t>(::GetTickCount64()); }

}  // namespace platform
