// Requests: a payload view plus its transmission parameters and an owned
// notification clone.
#include "protocol/protocol_request.h"

#include "protocol/notification.h"

sProtocolRequest::sProtocolRequest(sSharedBuffer* payload, const cProtocolNotification* note)
    : sProtocolBuffer(payload), notification(note ? note->Clone() : nullptr) {}

sProtocolRequest::sProtocolRequest(const sProtocolRequest& other)
    : sProtocolBuffer(other),
      delayMs(other.delayMs),
      responseTimeoutMs(other.responseTimeoutMs),
      sendCount(other.sendCount),
      resendIntervalMs(other.resendIntervalMs),
      notification(other.notification ? other.notification->Clone() : nullptr),
      extraData(other.extraData),
      extraSize(other.extraSize),
      sendOnly(other.sendOnly) {
  sProtocolBuffer::Validate();
}

sProtocolRequest::~sProtocolRequest() = default;
