// Line set-up, framing and deframing for the device protocol servers.
#include "device/hdlc/hdlc_protocol_server.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "device/hdlc/packet_builder.h"
#include "framing/traffic_trace.h"
#include "protocol/pending_request.h"
#include "protocol/shared_buffer.h"

namespace {

// A frame may be split over reads and a read may end anywhere: the decoder
// holds up to four reads' worth of one frame before giving up on it.
constexpr uint32_t kReassemblyReads = 4;
// A read completes once 2 ms pass without a further byte (and, where the
// port offers it, once a frame's closing flag is the last byte waiting: an
// acknowledgement then reaches the phase while the module's next one is still
// on its way, instead of after the whole window and a quiet gap).
constexpr sCommTimeouts kLineTimeouts = {
    .readIntervalMs = 2,
    .readTotalMultiplierMs = 0,
    .readTotalConstantMs = 0,
    .writeTotalMultiplierMs = 1000,
    .writeTotalConstantMs = 1,
};

cTrafficTrace* LineTrace();

// Where the line trace's notes go, as SetLineTraceNotes set it.
cTrafficTrace::NoteSink& LineTraceNotes() {
  static cTrafficTrace::NoteSink notes;
  return notes;
}

// Finishes the trace as the program exits; its object stays.
void FinishLineTrace() { LineTrace()->Finish(); }

// The support trace of the line, when ZNTV_TRACE names a file: opened at the
// first frame and kept for the rest of the program. Without the variable
// every frame costs one test of a null pointer. Never destroyed: a worker the
// program could not stop may still trace a frame while the program exits,
// after the trace has been finished.
cTrafficTrace* LineTrace() {
  static cTrafficTrace* const trace = [] {
    cTrafficTrace* const opened =
        cTrafficTrace::Open(platform::cOutputFile::NamedBy("ZNTV_TRACE"), "zntv-upgrade", LineTraceNotes()).release();
    if (opened != nullptr) std::atexit(FinishLineTrace);
    return opened;
  }();
  return trace;
}

const char* PhaseName(int32_t receiveKind) {
  switch (receiveKind) {
    case kBufferKindDiagReceived:
      return "DIAG";
    case kBufferKindDlReceived:
      return "DL";
    case kBufferKindSdlReceived:
      return "SDL";
    default:
      return "?";
  }
}

}  // namespace

void SetLineTraceNotes(cTrafficTrace::NoteSink notes) { LineTraceNotes() = std::move(notes); }

cHDLCProtocolServer::cHDLCProtocolServer(int32_t transmitKind, int32_t receiveKind, uint32_t logCapacity)
    : cProtocolServer(receiveKind, transmitKind, logCapacity),
      receiveKind_(receiveKind),
      deframer_(size_t{kReassemblyReads} * GetReceiveBufferSize()) {}

bool cHDLCProtocolServer::ConfigurePort() {
  cWinComm& port = GetPort();
  return port.IsOpen() && port.ApplyLineSettings() && port.SetTimeouts(kLineTimeouts) &&
         port.SetEventCharacter(kHdlcFlag);
}

bool cHDLCProtocolServer::ReleasePort() { return true; }

sSharedBuffer* cHDLCProtocolServer::EncodeRequest(sSharedBuffer* payload, bool& encoded) {
  encoded = true;
  currentFrame_ = sProtocolBuffer();
  if (payload == nullptr || !payload->IsValid()) return nullptr;
  // Written once, straight into a worst-case allocation that the frame buffer
  // then adopts: no second copy of the bytes.
  const uint32_t capacity = static_cast<uint32_t>(HdlcFrameCapacity(payload->GetSize()));
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[capacity]);
  if (!bytes) return nullptr;
  const auto length = static_cast<uint32_t>(EncodeHdlcFrameInto(payload->GetData(), payload->GetSize(), bytes.get()));
  auto* frame = new (std::nothrow) sSharedBuffer(payload->GetKind(), length, std::move(bytes));
  if (frame == nullptr) return nullptr;
  if (!frame->IsValid()) {
    frame->Release();  // never referenced: this frees it
    return nullptr;
  }
  currentFrame_ = sProtocolBuffer(frame);
  if (cTrafficTrace* trace = LineTrace()) {
    trace->Frame(eTraceDirection::Sent, PhaseName(receiveKind_), payload->GetData(), payload->GetSize());
  }
  return currentFrame_.GetShared();
}

bool cHDLCProtocolServer::DecodeReceived(uint32_t count, int32_t& logIndex, bool& abort) {
  logIndex = -1;
  if (count == 0 || GetReceiveBuffer() == nullptr) return false;
  bool answered = false;
  cTrafficTrace* const trace = LineTrace();
  const auto onFrame = [&](const uint8_t* payload, size_t size) {
    if (trace) trace->Frame(eTraceDirection::Received, PhaseName(receiveKind_), payload, size);
    const sProtocolBuffer packet = MakePacket(receiveKind_, {payload, size});
    // Too long for a shared buffer: no packet, nothing to log or to offer.
    if (!packet.IsValid()) return;
    const int32_t index = GetLog().Add(packet);
    if (IsAbortIndication(packet)) {
      abort = true;
    } else if (IsResponse(packet)) {
      logIndex = index;
      answered = true;
    }
  };
  // A damaged frame is dropped without a word; only the trace sees it.
  const auto onDamaged = [&](const uint8_t* bytes, size_t size) {
    if (trace) trace->Frame(eTraceDirection::ReceivedDamaged, PhaseName(receiveKind_), bytes, size);
  };
  deframer_.Feed(GetReceiveBuffer(), count, onFrame, onDamaged);
  return answered;
}

const sProtocolRequest* cHDLCProtocolServer::RequestAwaitingAnswer() const {
  const sPendingRequest* inFlight = GetInFlightRequest();
  if (inFlight == nullptr || !inFlight->awaitingResponse || inFlight->request.sendOnly ||
      !inFlight->request.IsValid()) {
    return nullptr;
  }
  return &inFlight->request;
}
