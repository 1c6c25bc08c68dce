// The DIAG phase: identify the module, take it offline, order it into its boot
// downloader and wait for it to come back as the downloader.
#include "device/diag/diag_phase.h"

#include <chrono>
#include <memory>
#include <thread>

#include "device/diag/diag_packets.h"
#include "device/diag/diag_protocol_server.h"
#include "device/server_session.h"
#include "host/device_lookup.h"
#include "platform/stop_requests.h"

namespace {

// The module needs this long after the mode request before it takes the
// download mode request.
constexpr std::chrono::milliseconds kOfflineSettleTime{2500};

bool IdentifyModule(cDiagProtocolServer& server, const report::cReporter& reporter) {
  const sProtocolBuffer request = BuildDiagBuildIdRequest();
  if (!RequestBuilt(request, L"Failed to build DIAG build ID request", reporter)) return false;
  sProtocolBuffer answer;
  if (!ExchangeWithModule(server, request,
                          {L"Sending DIAG build ID request", L"Failed to receive DIAG build ID response"},
                          eAttempts::Once, reporter, answer)) {
    return false;
  }
  if (sDiagBuffer(answer).GetCode() != kDiagBuildIdCode) {
    reporter.Failure({}, L"Failed to receive valid DIAG build ID response");
    return false;
  }
  return true;
}

// Mode request, answered with anything; then the module's time to go offline.
bool TakeModuleOffline(cDiagProtocolServer& server, const report::cReporter& reporter) {
  const sProtocolBuffer request = BuildDiagModeRequest();
  if (!RequestBuilt(request, L"Failed to build DIAG mode request", reporter)) return false;
  sProtocolBuffer answer;
  if (!ExchangeWithModule(server, request, {L"Sending DIAG mode request", L"Failed to receive DIAG mode response"},
                          eAttempts::Once, reporter, answer)) {
    return false;
  }
  reporter.Line(L"Waiting for device to go offline");
  std::this_thread::sleep_for(kOfflineSettleTime);
  return true;
}

}  // namespace

bool EnterDownloadMode(host::cFollowedModule& module, report::cSink& sink) {
  if (module.PortName().empty()) return false;
  const report::cReporter reporter(sink, report::eStage::Diag);
  // On the heap, so that a worker that cannot be stopped can keep it.
  const auto owned = std::make_unique<cDiagProtocolServer>();
  cDiagProtocolServer& server = *owned;
  cServerSession session(server, module, L"DIAG", reporter);
  if (!session.IsConnected() || !IdentifyModule(server, reporter) || !TakeModuleOffline(server, reporter)) {
    return false;
  }
  const sProtocolBuffer request = BuildDiagDownloadModeRequest();
  if (!RequestBuilt(request, L"Failed to build DIAG download mode request", reporter)) return false;
  // Once the request is on its way the module may leave its firmware: from
  // then on, stopping would leave it half-written.
  platform::FinishBeforeStopping(module.PortName());
  // A missing answer is not reported: the module may drop off the bus before
  // it answers. The phase still waits for it to come back.
  sProtocolBuffer answer;
  const bool answered = ExchangeWithModule(server, request, {L"Sending DIAG download mode request", nullptr},
                                           eAttempts::Once, reporter, answer);
  session.Shutdown();
  reporter.Line(L"Waiting for device to switch to download mode");
  module.WaitForReenumeration(reporter);
  return answered;
}
