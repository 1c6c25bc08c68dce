// Tells answers from unsolicited traffic on the DIAG line.
#include "device/diag/diag_protocol_server.h"

#include "device/diag/diag_packets.h"
#include "protocol/shared_buffer.h"

namespace {
constexpr uint32_t kDiagLogCapacity = 64;
}

cDiagProtocolServer::cDiagProtocolServer()
    : cHDLCProtocolServer(kBufferKindDiagSent, kBufferKindDiagReceived, kDiagLogCapacity) {}

cDiagProtocolServer::~cDiagProtocolServer() { EndWorker(); }

bool cDiagProtocolServer::IsResponse(const sProtocolBuffer& packet) {
  const sProtocolRequest* request = RequestAwaitingAnswer();
  return request != nullptr && packet.IsValid() && sDiagBuffer(*request).IsValid() && sDiagBuffer(packet).IsValid() &&
         !IsUnsolicitedDiag(packet);
}

bool cDiagProtocolServer::IsAbortIndication(const sProtocolBuffer&) { return false; }
