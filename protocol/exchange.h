// The blocking exchange every upgrade phase uses: queue one request on a
// protocol server, sleep until its fate is known, and hand back the response
// packet from the server's log.
//
// Threads: client threads only (never a server's worker).
#pragma once
#include <cstdint>

#include "protocol/protocol_buffer.h"
#include "protocol/protocol_request.h"
#include "protocol/shared_buffer.h"

class cProtocolServer;

// Longest silence from the server before the exchange cancels its request.
inline constexpr uint32_t kExchangeEventWaitMs = 5000;
// Attempts SendAndWaitRetry makes at most.
inline constexpr uint32_t kExchangeAttempts = 5;

// The waits of one exchange. The defaults are the program's; tests shorten
// them.
struct sExchangeTiming {
  uint32_t eventWaitMs = kExchangeEventWaitMs;
  uint32_t responseTimeoutMs = kDefaultResponseTimeoutMs;
};

// Queues payload as one request (no delay, one transmission) and waits for
// its outcome. True when the request was transmitted (sendOnly) or answered;
// then, unless sendOnly, response holds the answer as logged by the server
// (possibly empty when the log has already dropped it: check its validity).
// False for a null payload, a refused request, a failure, no response, or
// silence from the server for timing.eventWaitMs (the request is then
// cancelled). An invalid payload is refused before anything takes a reference
// to it, so it stays the caller's to release. Otherwise the exchange holds a
// reference to payload while it runs; a payload nobody else references is
// freed when the exchange no longer needs it, so callers keep a reference of
// their own to use it afterwards.
bool SendAndWait(sSharedBuffer* payload, cProtocolServer& server, sProtocolBuffer& response, bool sendOnly = false,
                 const sExchangeTiming& timing = {});

// SendAndWait (not sendOnly) repeated while it fails, at most
// kExchangeAttempts times, all with the same payload, which stays referenced
// for the whole series. Returns the last result.
bool SendAndWaitRetry(sSharedBuffer* payload, cProtocolServer& server, sProtocolBuffer& response,
                      const sExchangeTiming& timing = {});
