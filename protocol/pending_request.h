// A protocol server's own record of one request it has accepted: the id Send
// returned, how far its transmission has got, and the server's copy of the
// request. Made by Send on the client thread, then handed to the worker,
// which alone uses it from then on.
#pragma once
#include <cstdint>

#include "protocol/protocol_request.h"

// extraData is written in chunks of this many bytes.
inline constexpr uint32_t kExtraDataChunkSize = 262144;

struct sPendingRequest {
  explicit sPendingRequest(uint32_t requestId, const sProtocolRequest& original);

  // Back to the state before a transmission: whole payload expected, no
  // chunk written, no response awaited.
  void ResetTransmission();

  uint32_t id;
  uint32_t sendsMade = 0;         // not counted for kSendUnlimited
  uint32_t expectedBytes = 0;     // the outstanding write must complete with these
  uint32_t chunkCount = 0;        // extraData chunks, 0 without extra data
  uint32_t chunkIndex = 0;        // chunks written in this transmission
  bool awaitingResponse = false;  // the response timer runs for this request
  sProtocolRequest request;
};
