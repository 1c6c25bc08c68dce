// Console-reporting steps shared by the DIAG, DL and SDL phases.
#include "device/phase_support.h"

#include "device/discovery/failure_hints.h"
#include "platform/console.h"
#include "protocol/exchange.h"

cServerSession::cServerSession(cProtocolServer& server, const std::wstring& portName, const wchar_t* protocol)
    : server_(server) {
  if (!server_.Initialize()) {
    platform::ConsolePrint(L"Failed to initialize %ls server\n", protocol);
    return;
  }
  if (!server_.Connect(portName)) {
    platform::ConsolePrint(L"Failed to connect %ls server to %ls\n", protocol, portName.c_str());
    ExplainPortFailure(portName, server_.GetConnectError());
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
