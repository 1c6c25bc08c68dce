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

// Connects the server to the module's port; a failure is the last open's.
platform::sStatus ConnectToModule(cProtocolServer& server, const host::cFollowedModule& module) {
  platform::sStatus connected = server.Connect(module.PortName());
  if (connected || !module.JustReturned()) return connected;
  const auto giveUp = std::chrono::steady_clock::now() + kReopenPatience;
  while (host::IsPassingOpenRefusal(connected.code) && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(kReopenInterval);
    connected = server.Connect(module.PortName());
  }
  return connected;
}

}  // namespace

cServerSession::cServerSession(cProtocolServer& server, const host::cFollowedModule& module, const wchar_t* protocol,
                               const report::cReporter& reporter)
    : server_(server) {
  if (!server_.Initialize()) {
    reporter.Failure({}, L"Failed to initialize %ls server", protocol);
    return;
  }
  // Without a port at its place the module has left the bus: said as for a
  // port that vanished before it could be opened.
  const platform::sStatus connected =
      module.HasPort() ? ConnectToModule(server_, module) : platform::sStatus{platform::kErrorDeviceNotConnected};
  if (!connected) {
    reporter.Failure({.error = connected.code}, L"Failed to connect %ls server to %ls", protocol,
                     module.PortName().c_str());
    host::ExplainPortFailure(reporter, module.PortName(), connected.code);
    return;
  }
  connected_ = true;
}

void cServerSession::Shutdown() {
  if (shutdown_) return;
  shutdown_ = true;
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
