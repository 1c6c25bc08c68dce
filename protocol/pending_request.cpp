// A server's record of one accepted request.
#include "protocol/pending_request.h"

namespace {

uint32_t ChunkCount(const sProtocolRequest& request) {
  if (!request.extraData || request.extraSize == 0) return 0;
  return (request.extraSize - 1) / kExtraDataChunkSize + 1;
}

}  // namespace

sPendingRequest::sPendingRequest(uint32_t requestId, const sProtocolRequest& original)
    : id(requestId), chunkCount(ChunkCount(original)), request(original) {
  expectedBytes = request.GetSize();
}

void sPendingRequest::ResetTransmission() {
  expectedBytes = request.GetSize();
  chunkIndex = 0;
  awaitingResponse = false;
}
