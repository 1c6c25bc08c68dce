// The protocol server of the module's flash programmer: an answer's code must
// fit the request's, and an error packet answers any request that awaits an
// answer.
//
// Threads: as cHDLCProtocolServer; IsResponse runs on the worker.
#pragma once
#include "device/hdlc/hdlc_protocol_server.h"

// Entries of the SDL log: room for a whole window of writes and their
// responses before the collector reads them back.
inline constexpr uint32_t kSdlLogCapacity = 8096;

class cSDLProtocolServer final : public cHDLCProtocolServer {
 public:
  // Transmit kind 7, receive kind 6, a log of kSdlLogCapacity entries.
  cSDLProtocolServer();
  // Stops the worker first (EndWorker): it calls IsResponse and
  // IsAbortIndication of this very object, and uses the framing state of
  // its base, while it runs.
  ~cSDLProtocolServer() override;

 protected:
  // hello (01) → 02 or 0D; streaming write (07) → 0D; reset (0B) → 0C or 0D.
  bool IsResponse(const sProtocolBuffer& packet) override;
  bool IsAbortIndication(const sProtocolBuffer& packet) override;
};
