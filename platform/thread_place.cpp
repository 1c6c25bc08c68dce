// The port-call mark of a thread and the hand-over between a thread that
// leaves a port call and an owner that gives up on it meanwhile: whichever
// comes first decides, so the thread never goes back to its caller once its
// owner has let go of what the caller uses.
#include "platform/thread_place.h"

#include "platform/alertable.h"

namespace platform {

namespace {
thread_local std::shared_ptr<sThreadPlace> tPlace;
}  // namespace

void SetCurrentThreadPlace(std::shared_ptr<sThreadPlace> place) { tPlace = std::move(place); }

void EnterPortCall() {
  if (tPlace) tPlace->place.store(ePlace::InPortCall);
}

bool LeavePortCall() {
  if (!tPlace) return true;
  ePlace expected = ePlace::InPortCall;
  return tPlace->place.compare_exchange_strong(expected, ePlace::Elsewhere);
}

void EndAbandonedThread() { EndCurrentThread(); }

bool AbandonInPortCall(sThreadPlace& place) {
  ePlace expected = ePlace::InPortCall;
  return place.place.compare_exchange_strong(expected, ePlace::Abandoned);
}

}  // namespace platform
