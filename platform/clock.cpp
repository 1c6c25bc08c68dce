// The test offset of the system time, shared by both clock layers and by the
// waitable timers that must honour it.
#include <atomic>

#include "platform/clock.h"

namespace platform {

namespace {
std::atomic<int64_t> systemTimeOffset{0};
}

void SetSystemTimeOffsetForTest(int64_t offset100ns) { systemTimeOffset.store(offset100ns); }

int64_t GetSystemTimeOffsetForTest() { return systemTimeOffset.load(); }

}  // namespace platform
