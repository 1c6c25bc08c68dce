// Console-reporting steps shared by the DIAG, DL and SDL phases.
#include "device/phase_support.h"

#include "device/discovery/failure_hints.h"
#include "platform/console.h"
#include "protocol/exchange.h"

bool StartServer(cProtocolServer& server, const std::wstring& portName, const wchar_t* protocol) {
  if (!server.Initialize()) {
    platform::ConsolePrint(L"Failed to initialize %ls server\n", protocol);
    return false;
  }
  if (!server.Connect(portName)) {
    platform::ConsolePrint(L"Failed to connect %ls server to %ls\n", protocol, portName.c_str());
    ExplainPortFailure(portName, server.GetConnectError());
    return false;
  }
  return true;
}

bool RequestBuilt(const sProtocolBuffer& request, const wchar_t* failureLine) {
  if (request.GetShared() != nullptr) return true;
  platform::ConsolePrint(failureLine);
  return false;
}

bool ExchangeWithModule(cProtocolServer& server, const sProtocolBuffer& request,
                        const wchar_t* sendingLine, const wchar_t* noAnswerLine,
                        eAttempts attempts, sProtocolBuffer& answer) {
  platform::ConsolePrint(sendingLine);
  const bool answered = attempts == eAttempts::eRetry
                            ? SendAndWaitRetry(request.GetShared(), server, answer)
                            : SendAndWait(request.GetShared(), server, answer);
  if (!answered && noAnswerLine != nullptr) platform::ConsolePrint(noAnswerLine);
  return answered;
}
