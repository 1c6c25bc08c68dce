// Where a cThread is, for an owner that must decide whether it may give up on
// it: inside a port system call (an open, a line set-up, a close), where it
// holds nothing of ours, or anywhere else (platform-internal).
#pragma once
#include <atomic>
#include <memory>

namespace platform {

enum class ePlace : int { Elsewhere, InPortCall, Abandoned };

// Shared by the thread and its cThread, so that either may outlive the other.
struct sThreadPlace {
  std::atomic<ePlace> place{ePlace::Elsewhere};
};

// The calling thread's place (a cThread's first act); threads without one
// make port calls unmarked.
void SetCurrentThreadPlace(std::shared_ptr<sThreadPlace> place);
// Owner: true when the thread was inside a port call and now ends as that
// call returns; false when it is elsewhere and goes on as before.
[[nodiscard]] bool AbandonInPortCall(sThreadPlace& place);
// Ends the calling thread at once (it was abandoned in a port call).
[[noreturn]] void EndCurrentThread();

}  // namespace platform
