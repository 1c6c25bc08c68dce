// What the Linux instance runner tells the stop-request service: the process
// group its instances run in, which stop requests are passed on to.
//
// Threads: the thread that runs the instances.
#pragma once
#include <sys/types.h>

namespace platform {

// group: the instances' process group; 0: there is none (any more).
void SetStopRecipients(pid_t group);

}  // namespace platform
