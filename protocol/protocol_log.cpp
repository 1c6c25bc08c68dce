// The per-server packet log over a history queue of packet views.
#include "protocol/protocol_log.h"

#include <algorithm>

cProtocolLog::cProtocolLog(uint32_t capacity) : store_(std::min(capacity, kMaxProtocolLogCapacity), false) {}

int32_t cProtocolLog::Add(const sProtocolBuffer& buffer) {
  uint32_t sequence = 0;
  if (!buffer.IsValid() || !store_.Append(buffer, &sequence)) return -1;
  return static_cast<int32_t>(sequence);
}

sProtocolBuffer& cProtocolLog::Get(sProtocolBuffer& out, uint32_t sequence) {
  out = sProtocolBuffer();
  store_.Get(sequence, out);
  return out;
}

uint32_t cProtocolLog::GetCount() { return store_.GetTotal(); }

uint32_t cProtocolLog::WaitForCountAbove(uint32_t count, uint32_t timeoutMs) {
  return store_.WaitForTotalAbove(count, timeoutMs);
}

void cProtocolLog::Clear() { store_.Clear(); }
