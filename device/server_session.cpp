// Console-reporting steps shared by the DIAG, DL and SDL phases.
#include "device/server_session.h"

#include <chrono>
#include <thread>

#include "host/failure_hints.h"
#include "platform/console.h"
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

cServerSession::cServerSession(cProtocolServer& server, const host::cFollowedModule& module, const wchar_t* protocol)
    : server_(server) {
  if (!server_.Initialize()) {
    platform::ConsolePrint(L"Failed to initialize %ls server\n", protocol);
    return;
  }
  if (!module.HasPort() || !ConnectToModule(server_, module)) {
    platform::ConsolePrint(L"Failed to connect %ls server to %ls\n", protocol, module.PortName().c_str());
    // Without a port at its place the module has left the bus: said as for a
    // port that vanished before it could be opened.
    host::ExplainPortFailure(module.PortName(),
                             module.HasPort() ? server_.GetConnectError() : platform::kErrorDeviceNotConnected);
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

bool RequestBuilt(const sProtocolBuffer& request, const wchar_t* failureLine) {
  if (request.GetShared() != nullptr) return true;
  platform::ConsolePrint(failureLine);
  return false;
}

bool ExchangeWithModule(cProtocolServer& server, const sProtocolBuffer& request, const wchar_t* sendingLine,
                        const wchar_t* noAnswerLine, eAttempts attempts, sProtocolBuffer& answer) {
  platform::ConsolePrint(sendingLine);
  const bool answered = attempts == eAttempts::Retry ? SendAndWaitRetry(request.GetShared(), server, answer)
                                                     : SendAndWait(request.GetShared(), server, answer);
  if (!answered && noAnswerLine != nullptr) platform::ConsolePrint(noAnswerLine);
  return answered;
}
