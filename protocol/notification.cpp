// The notification that appends request events to a client's event history.
#include "protocol/notification.h"

#include <new>

cProtocolQueueNotification::cProtocolQueueNotification(const std::shared_ptr<RequestEventHistory>& history)
    : history_(history) {}

std::unique_ptr<cProtocolNotification> cProtocolQueueNotification::Clone() const {
  auto* clone = new (std::nothrow) cProtocolQueueNotification(*this);
  return std::unique_ptr<cProtocolNotification>(clone);
}

void cProtocolQueueNotification::Notify(int32_t code, uint32_t requestId, uint32_t value) {
  if (code < eNotifyFailed || code > eNotifyProgress) return;
  // The client may have finished with the history; then the event has nobody
  // to go to. Holding it here keeps it alive for this one append.
  if (auto history = history_.lock()) history->Append(sRequestEvent{code, requestId, value});
}
