// The protocol server of the module's normal firmware. The module mixes
// unsolicited packets into its answers; this server lets only the others
// answer a request.
//
// Threads: as cHDLCProtocolServer; IsResponse runs on the worker.
#pragma once
#include "device/hdlc/hdlc_protocol_server.h"

class cDiagProtocolServer final : public cHDLCProtocolServer {
 public:
  // Transmit kind 3, receive kind 2, a log of 64 entries.
  cDiagProtocolServer();
  // Stops the worker first (EndWorker): it calls IsResponse and
  // IsAbortIndication of this very object, and uses the framing state of
  // its base, while it runs.
  ~cDiagProtocolServer() override;

 protected:
  // Any valid DIAG packet that is not unsolicited answers the request awaiting
  // its answer, whatever its code.
  bool IsResponse(const sProtocolBuffer& packet) override;
  bool IsAbortIndication(const sProtocolBuffer& packet) override;
};
