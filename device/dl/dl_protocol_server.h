// The protocol server of the module's boot downloader: any valid DL response
// answers any valid DL request.
//
// Threads: as cHDLCProtocolServer; IsResponse runs on the worker.
#pragma once
#include "device/hdlc/hdlc_protocol_server.h"

class cDownloadProtocolServer final : public cHDLCProtocolServer {
 public:
  // Transmit kind 5, receive kind 4, a log of 64 entries.
  cDownloadProtocolServer();
  // Stops the worker first (EndWorker): it calls IsResponse and
  // IsAbortIndication of this very object, and uses the framing state of
  // its base, while it runs.
  ~cDownloadProtocolServer() override;

 protected:
  bool IsResponse(const sProtocolBuffer& packet) override;
  bool IsAbortIndication(const sProtocolBuffer& packet) override;
};
