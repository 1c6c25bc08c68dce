// Reporting steps shared by the DIAG, DL and SDL phases.
#include "device/server_session.h"

#include <chrono>
#include <thread>

#include "host/failure_hints.h"
#include "platform/errors.h"
#include "protocol/exchange.h"

namespace {

// A port that has just come back may refuse an open while udev sets its
// group or a modem manager probes it: tried again this often, this long.
constexpr std::chrono::milliseconds kReopenInterval{100};
constexpr std::chrono::milliseconds kReopenPatience{2000};

// Connects the server to the module's port; the error of the last failed
// open is the server's connect error.
bool ConnectToModule(cProtocolServer& server, const host::cFollowedModule& module) {
  if (server.Connect(module.PortName())) return true;
  if (!module.JustReturned()) return false;
  const auto giveUp = std::chrono::steady_clock::now() + kReopenPatience;
  while (host::IsPassingOpenRefusal(server.GetConnectError()) && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(kReopenInterval);
    if (server.Connect(module.PortName())) return true;
  }
  return false;
}

}  // namespace

cServerSession::cServerSession(cProtocolServer& server, const host::cFollowedModule& module, const wchar_t* protocol,
                               const report::cReporter& reporter)
    : server_(server) {
  if (!server_.Initialize()) {
    reporter.Failure({}, L"Failed to initialize %ls server", protocol);
    return;
  }
  if (!module.HasPort() || !ConnectToModule(server_, module)) {
    // Without a port at its place the module has left the bus: said as for a
    // port that vanished before it could be opened.
    const uint32_t error = module.HasPort() ? server_.GetConnectError() : platform::kErrorDeviceNotConnected;
    reporter.Failure({.error = error}, L"Failed to connect %ls server to %ls", protocol, module.PortName().c_str());
    host::ExplainPortFailure(reporter, module.PortName(), error);
    return;
  }
  connected_ = true;
}

void cServerSession::ShutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  connected_ = false;
  server_.Shutdown();
}

bool RequestBuilt(const sProtocolBuffer& request, const wchar_t* failureLine, const report::cReporter& reporter) {
  if (request.GetShared() != nullptr) return true;
  reporter.Failure({}, L"%ls", failureLine);
  return false;
}

bool ExchangeWithModule(cProtocolServer& server, const sProtocolBuffer& request, sExchangeLines lines,
                        eAttempts attempts, const report::cReporter& reporter, sProtocolBuffer& answer) {
  reporter.Line(L"%ls", lines.sending);
  const bool answered = attempts == eAttempts::Retry ? SendAndWaitRetry(request.GetShared(), server, answer)
                                                     : SendAndWait(request.GetShared(), server, answer);
  if (!answered && lines.noAnswer != nullptr) reporter.Failure({}, L"%ls", lines.noAnswer);
  return answered;
}
