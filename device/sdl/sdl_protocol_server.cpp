// Answer test of the SDL line.
#include "device/sdl/sdl_protocol_server.h"

#include "device/sdl/sdl_packets.h"
#include "protocol/shared_buffer.h"

namespace {

bool AnswerFits(int32_t requestCode, int32_t answerCode) {
  switch (requestCode) {
    case kSdlHelloCode:
      return answerCode == kSdlHelloResponseCode || answerCode == kSdlErrorCode;
    case kSdlWriteCode:
      return answerCode == kSdlErrorCode;
    case kSdlResetCode:
      return answerCode == kSdlResetResponseCode || answerCode == kSdlErrorCode;
    default:
      return false;
  }
}

}  // namespace

cSDLProtocolServer::cSDLProtocolServer()
    : cHDLCProtocolServer(kBufferKindSdlSent, kBufferKindSdlReceived, kSdlLogCapacity) {}

cSDLProtocolServer::~cSDLProtocolServer() { EndWorker(); }

bool cSDLProtocolServer::IsResponse(const sProtocolBuffer& packet) {
  const sProtocolRequest* request = RequestAwaitingAnswer();
  return request != nullptr && packet.IsValid() && AnswerFits(request->GetCode(), packet.GetCode());
}

bool cSDLProtocolServer::IsAbortIndication(const sProtocolBuffer&) { return false; }
