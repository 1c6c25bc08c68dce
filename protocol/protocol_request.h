// A payload together with everything a protocol server needs to transmit it:
// delay, response time-out, number of transmissions, the notification that
// hears what became of it, optional raw extra data and whether an answer is
// awaited.
//
// Threads: like sProtocolBuffer, one object per thread; a server copies the
// request into its own record when it queues it, so the caller may destroy
// its request as soon as Send returns.
#pragma once
#include <cstdint>
#include <memory>

#include "protocol/protocol_buffer.h"

class cProtocolNotification;

inline constexpr uint32_t kDefaultResponseTimeoutMs = 5000;
inline constexpr uint32_t kDefaultResendIntervalMs = 100;
// sendCount value meaning "transmit until cancelled".
inline constexpr uint32_t kSendUnlimited = 0xFFFFFFFFu;

class sProtocolRequest : public sProtocolBuffer {
 public:
  // The payload becomes the base buffer; notification, when given, is cloned.
  explicit sProtocolRequest(sSharedBuffer* payload, const cProtocolNotification* notification = nullptr);
  // Shares the payload, copies every field and clones the notification.
  sProtocolRequest(const sProtocolRequest& other);
  sProtocolRequest& operator=(const sProtocolRequest&) = delete;
  ~sProtocolRequest() override;

  uint32_t delayMs = 0;                                    // before the first transmission
  uint32_t responseTimeoutMs = kDefaultResponseTimeoutMs;  // after a completed transmission
  uint32_t sendCount = 1;                                  // transmissions; kSendUnlimited
  uint32_t resendIntervalMs = kDefaultResendIntervalMs;    // before each further one
  std::unique_ptr<cProtocolNotification> notification;     // owned clone, or null
  const uint8_t* extraData = nullptr;                      // raw bytes sent after the packet; not owned,
  uint32_t extraSize = 0;                                  // must outlive every copy of the request
  bool sendOnly = false;                                   // complete once transmitted
};
