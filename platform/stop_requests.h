// How the process answers a request from outside to stop it: SIGINT, SIGTERM
// and SIGHUP on Linux (an interrupt key, a kill, an ssh session that drops),
// the console's Ctrl+C, Ctrl+Break and close events on Windows. Before the
// module has been ordered out of its firmware, a request ends the process at
// once, leaving the module as it was. After that, stopping would leave a
// half-written module: the first request is noted and the upgrade finishes,
// and only a second one abandons it. A console that can no longer be written
// loses lines but never ends the process.
#pragma once
#include <string>

namespace platform {

// The process's exit status when a request ends it.
inline constexpr int kStoppedExitStatus = 255;

// Main thread, first thing, before another thread starts or a file is
// opened. Standard streams that are closed are opened on the null device, so
// that no port or file opened later takes their number and gets console
// lines; writing to a closed pipe no longer ends the process (SIGPIPE is
// ignored); and from now on a stop request ends the process at once with
// kStoppedExitStatus. A request the process was started to ignore stays
// ignored.
void TakeStopRequests();

// Main thread, before the request that takes the module at portName out of
// its firmware is sent; later calls change nothing. From then on the first
// stop request is noted on standard error ("the upgrade of <port> is
// finishing; a second interrupt abandons it") and the run goes on to its
// usual outcome; the second ends the process at once, within about a second,
// after "Download failed" on standard output (lost if it cannot be written),
// with kStoppedExitStatus.
void FinishBeforeStopping(const std::wstring& portName);

// Main thread, before instances are started (child_process.h): stop requests
// no longer end this process; each one is passed on to the instances it
// starts, which answer it by the rules above, and wakes the thread that runs
// them. (On Windows the console's events reach every process attached to it
// without help.)
void PassStopRequestsOn();

}  // namespace platform
