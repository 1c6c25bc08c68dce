// The steps every upgrade phase takes with its protocol server, each with the
// line it reports: start and connect the server for the phase and shut it
// down on every way out, check that a request could be built, and exchange a
// request with the module.
//
// Threads: the phase's (main) thread.
#pragma once
#include <string>

#include "host/device_lookup.h"
#include "protocol/protocol_buffer.h"
#include "protocol/protocol_server.h"
#include "report/reporter.h"

// A phase's hold on its protocol server: construction starts the server's
// worker and connects it to the module's port, reporting the failure of a
// step as "Failed to initialize <protocol> server" or "Failed to connect
// <protocol> server to <port>" (with the open's error, and notes on why the
// port could not be opened). A module that the last wait left without a port fails to
// connect without any open, naming the port last used. Right after the
// module came back, an open that the port refuses for a moment is tried
// again for up to 2 s. The server is shut down when the session ends, or
// earlier through Shutdown. The server must outlive the session: the DIAG and DL phases shut
// it down, then wait for the module to re-enumerate while the server still
// holds its port, and only then destroy it.
class cServerSession {
 public:
  cServerSession(cProtocolServer& server, const host::cFollowedModule& module, const wchar_t* protocol,
                 const report::cReporter& reporter);
  ~cServerSession() { Shutdown(); }
  cServerSession(const cServerSession&) = delete;
  cServerSession& operator=(const cServerSession&) = delete;

  // True when the worker runs and the port is connected.
  bool IsConnected() const { return connected_; }
  // Stops the worker and drops what it held; later calls do nothing.
  void Shutdown();

 private:
  cProtocolServer& server_;
  bool connected_ = false;
  bool shutdown_ = false;
};

// True when request holds a packet; otherwise reports failureLine as the
// failing step.
bool RequestBuilt(const sProtocolBuffer& request, const wchar_t* failureLine, const report::cReporter& reporter);

enum class eAttempts { Once, Retry };

// The lines of one exchange with the module: the one said before sending,
// and the failing step when no answer comes (none: not reported).
struct sExchangeLines {
  const wchar_t* sending;
  const wchar_t* noAnswer;
};

// Reports lines.sending, then sends request and waits for its answer (once,
// or with the exchange's retries). When no answer comes, reports
// lines.noAnswer as the failing step unless it is null. answer receives the
// answering packet.
bool ExchangeWithModule(cProtocolServer& server, const sProtocolBuffer& request, sExchangeLines lines,
                        eAttempts attempts, const report::cReporter& reporter, sProtocolBuffer& answer);
