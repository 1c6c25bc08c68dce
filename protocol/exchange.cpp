// The blocking send-and-wait exchange over a protocol server's events.
#include "protocol/exchange.h"

#include <memory>

#include "protocol/notification.h"
#include "protocol/protocol_request.h"
#include "protocol/protocol_server.h"

namespace {

struct sBatchOutcome {
  bool decided = false;
  bool lost = false;
};

// Examines events [next, total) of the history. Every event is looked at,
// also after one decided the exchange, so a later success still counts.
sBatchOutcome ExamineEvents(const RequestEventHistory& history, uint32_t next, uint32_t total, cProtocolServer& server,
                            sProtocolBuffer& response, bool sendOnly, bool& result) {
  sBatchOutcome outcome;
  for (uint32_t sequence = next; sequence < total; ++sequence) {
    sRequestEvent event{};
    if (!history.Get(sequence, event)) {
      // More events arrived than the history holds: the rest is unknown.
      outcome.decided = outcome.lost = true;
      break;
    }
    switch (event.code) {
      case eNotifyFailed:
      case eNotifyNoResponse:
        outcome.decided = true;
        break;
      case eNotifySent:
        if (sendOnly) outcome.decided = result = true;
        break;
      case eNotifyResponse:
        server.GetLog().Get(response, event.value);
        outcome.decided = result = true;
        break;
      default:  // progress of extra data
        break;
    }
  }
  return outcome;
}

// Waits for events of request id until one decides its outcome.
bool AwaitOutcome(RequestEventHistory& history, uint32_t id, cProtocolServer& server, sProtocolBuffer& response,
                  bool sendOnly, uint32_t eventWaitMs) {
  bool result = false;
  uint32_t next = 0;
  for (;;) {
    if (!history.WaitForAppend(eventWaitMs)) {
      server.Cancel(id);  // the server has gone silent about it
      return result;
    }
    const uint32_t total = history.GetTotal();
    const sBatchOutcome outcome = ExamineEvents(history, next, total, server, response, sendOnly, result);
    next = total;
    if (outcome.decided) {
      if (outcome.lost) server.Cancel(id);
      return result;
    }
  }
}

}  // namespace

bool SendAndWait(sSharedBuffer* payload, cProtocolServer& server, sProtocolBuffer& response, bool sendOnly,
                 const sExchangeTiming& timing) {
  // An empty payload stays the caller's: it may still hold the pointer.
  if (!payload || !payload->IsValid()) return false;
  const sProtocolBuffer keepPayload(payload);
  auto history = std::make_shared<RequestEventHistory>(kRequestEventHistoryCapacity, true);
  const cProtocolQueueNotification notification(history);
  sProtocolRequest request(payload, &notification);
  request.sendOnly = sendOnly;
  request.responseTimeoutMs = timing.responseTimeoutMs;
  const uint32_t id = server.Send(request);
  if (id == 0) return false;
  return AwaitOutcome(*history, id, server, response, sendOnly, timing.eventWaitMs);
}

bool SendAndWaitRetry(sSharedBuffer* payload, cProtocolServer& server, sProtocolBuffer& response,
                      const sExchangeTiming& timing) {
  if (!payload || !payload->IsValid()) return false;
  // One reference for the whole series: an attempt that never transmitted
  // would otherwise free the payload before the next attempt uses it.
  const sProtocolBuffer keepPayload(payload);
  bool result = false;
  for (uint32_t attempt = 0; attempt < kExchangeAttempts && !result; ++attempt) {
    result = SendAndWait(payload, server, response, false, timing);
  }
  return result;
}
