// The protocol server of every device protocol: binds the framework's server
// to the module's serial line by setting the line up, wrapping each request in
// an HDLC frame and turning the received byte stream back into checked
// packets, which it records in the log and offers to the protocol's own
// answer test.
//
// Threads: constructed and destroyed by the client; every override below runs
// on the server's worker thread only, so the framing state needs no lock.
#pragma once
#include <cstdint>

#include "framing/hdlc_codec.h"
#include "framing/traffic_trace.h"
#include "protocol/protocol_buffer.h"
#include "protocol/protocol_request.h"
#include "protocol/protocol_server.h"

class cHDLCProtocolServer : public cProtocolServer {
 public:
  // Requests must carry transmitKind; decoded packets get receiveKind; the log
  // keeps logCapacity entries.
  cHDLCProtocolServer(int32_t transmitKind, int32_t receiveKind, uint32_t logCapacity);

 protected:
  // No XON/XOFF, no error replacement or abort, 8 data bits; a read completes
  // 2 ms after the last byte, or once the bytes waiting end with a frame's
  // flag where the port offers that; writes may take 1000 ms per byte plus
  // 1 ms.
  bool ConfigurePort() override;
  // Nothing to undo; true.
  bool ReleasePort() override;
  // Frames payload into a new buffer of the payload's kind and keeps it as the
  // current frame until the next call; null when payload is missing or
  // invalid, or the frame would exceed the largest shared buffer.
  sSharedBuffer* EncodeRequest(sSharedBuffer* payload, bool& encoded) override;
  // Feeds the received bytes to the stream decoder; every intact frame
  // becomes a packet of the receive kind, is logged and is tested with
  // IsAbortIndication, then IsResponse. True when a packet of this read
  // answered the request in flight (logIndex: the last such packet's).
  bool DecodeReceived(uint32_t count, int32_t& logIndex, bool& abort) override;

  // Whether packet (valid or not) answers the request awaiting its answer.
  virtual bool IsResponse(const sProtocolBuffer& packet) = 0;
  // Whether packet makes the in-flight request fail at once.
  virtual bool IsAbortIndication(const sProtocolBuffer& packet) = 0;

  // The request whose transmission is complete and whose answer is awaited,
  // when its payload is valid; null otherwise (nothing in flight, still being
  // transmitted, or transmit-only).
  const sProtocolRequest* RequestAwaitingAnswer() const;

 private:
  const int32_t receiveKind_;
  sProtocolBuffer currentFrame_;
  cHdlcDeframer deframer_;
};

// Where the line's support trace (ZNTV_TRACE, opened at the first frame)
// sends its notes for standard error; without this, they are dropped. The
// program's entry sets it once, before the first server starts; the trace
// calls it from the worker that opens it, its writer thread and at exit.
void SetLineTraceNotes(cTrafficTrace::NoteSink notes);
