// What the Linux instance runner tells the stop-request service (the process
// group its instances run in, which stop requests are passed on to) and
// learns from it (that one was).
//
// Threads: the thread that runs the instances.
#pragma once
#include <sys/types.h>

namespace platform {

// group: the instances' process group; 0: there is none (any more).
void SetStopRecipients(pid_t group);

// A descriptor that becomes readable (one byte per request) each time a stop
// request is passed on, so that the thread running the instances wakes for
// it; -1 before PassStopRequestsOn. Read it empty without blocking.
int StopRequestWakeFd();

}  // namespace platform
