// Answer test of the DL line: codes are not paired, only checked.
#include "device/dl/dl_protocol_server.h"

#include "device/dl/dl_packets.h"
#include "protocol/shared_buffer.h"

namespace {

constexpr uint32_t kDlLogCapacity = 64;
constexpr int32_t kHighestDlCode = 0x0F;

bool IsDlCode(int32_t code) { return code >= 0 && code <= kHighestDlCode; }

}  // namespace

cDownloadProtocolServer::cDownloadProtocolServer()
    : cHDLCProtocolServer(kBufferKindDlSent, kBufferKindDlReceived, kDlLogCapacity) {}

cDownloadProtocolServer::~cDownloadProtocolServer() { EndWorker(); }

bool cDownloadProtocolServer::IsResponse(const sProtocolBuffer& packet) {
  const sProtocolRequest* request = RequestAwaitingAnswer();
  return request != nullptr && packet.IsValid() && IsDlCode(sDownloadRequest(*request).GetCode()) &&
         IsDlCode(sDownloadResponse(packet).GetCode());
}

bool cDownloadProtocolServer::IsAbortIndication(const sProtocolBuffer&) { return false; }
