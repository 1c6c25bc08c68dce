// The DL phase: learn the downloader's limits, write the programmer into the
// module's RAM block by block, start it, and wait for the module to come back
// running it.
#include "device/dl/dl_phase.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "device/dl/dl_packets.h"
#include "device/dl/dl_protocol_server.h"
#include "device/hdlc/packet_builder.h"
#include "device/hdlc/packet_fields.h"
#include "device/server_session.h"
#include "host/device_lookup.h"
#include "image/hex_file.h"
#include "protocol/exchange.h"

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

bool IsLoadable(const cHexFile& programmer) {
  return programmer.Error == 0 && programmer.Image && programmer.ImageLength != 0 &&
         programmer.ImageLength <= programmer.ImageCapacity && programmer.LoadAddress != kNoAddress &&
         programmer.EntryAddress != kNoAddress;
}

// Asks the downloader for its parameters and reports them; nothing when it
// does not answer properly (the failure has been reported).
std::optional<sDlParameters> QueryParameters(cDownloadProtocolServer& server, const report::cReporter& reporter) {
  const sProtocolBuffer request = BuildDlParametersRequest();
  if (!RequestBuilt(request, L"Failed to build DL parameters request", reporter)) return std::nullopt;
  sProtocolBuffer answer;
  if (!ExchangeWithModule(server, request,
                          {L"Sending DL parameters request", L"Failed to receive DL parameters response"},
                          eAttempts::Retry, reporter, answer)) {
    return std::nullopt;
  }
  const std::optional<sDlParameters> parameters = ReadDlParameters(sDownloadResponse(answer));
  if (!parameters) {
    reporter.Failure({}, L"Failed to receive valid DL parameters response");
    return std::nullopt;
  }
  reporter.Line(L"DL Current Version:    %u", parameters->currentVersion);
  reporter.Line(L"DL Minimum Version:    %u", parameters->minimumVersion);
  reporter.Line(L"DL Maximum Write Size: %u", parameters->maxWriteSize);
  return parameters;
}

// Every request the transfer sends, in order: the writes, then the go request.
// Empty when the module's parameters are not known or a request cannot be
// built (the failure has been reported).
std::vector<sProtocolBuffer> PrepareTransfer(cDownloadProtocolServer& server, const cHexFile& programmer,
                                             const report::cReporter& reporter) {
  const std::optional<sDlParameters> parameters = QueryParameters(server, reporter);
  if (!parameters) return {};
  const uint32_t blockSize = std::min(parameters->maxWriteSize, kMaxWriteBlockSize);
  const sProtocolBuffer go = BuildDlGoRequest(programmer.EntryAddress);
  if (!RequestBuilt(go, L"Failed to build DL go request", reporter)) return {};
  std::vector<sProtocolBuffer> requests =
      BuildDlWriteRequests(blockSize, programmer.Image.get(), programmer.ImageLength, programmer.LoadAddress);
  if (requests.empty()) {
    reporter.Failure({}, L"Failed to build DL write requests");
    return {};
  }
  requests.push_back(go);
  return requests;
}

// The address a write or go request names, and the bytes a write carries
// (big-endian fields after the code: address, then a write's length).
std::optional<uint32_t> RequestAddress(const sProtocolBuffer& request) {
  return BigEndianAt<4>({request.GetData(), request.GetSize()}, 1);
}
uint32_t WriteLength(const sProtocolBuffer& write) { return Be16At({write.GetData(), write.GetSize()}, 5).value_or(0); }

// Sends each write and waits for its answer, then sends the go request, which
// the downloader does not answer before starting the programmer. Stops at the
// first failed exchange. Each answered write advances the progress over the
// programmer's length.
bool Transfer(cDownloadProtocolServer& server, const std::vector<sProtocolBuffer>& requests, uint32_t length,
              const report::cReporter& reporter) {
  uint64_t written = 0;
  reporter.Progress(written, length);
  for (size_t i = 0; i < requests.size(); ++i) {
    const bool isGo = i + 1 == requests.size();
    sProtocolBuffer answer;
    if (!SendAndWait(requests[i].GetShared(), server, answer, isGo)) {
      reporter.Failure({.address = RequestAddress(requests[i]), .sequence = static_cast<uint32_t>(i)},
                       L"Failed to receive DL response");
      return false;
    }
    if (isGo) break;
    written += WriteLength(requests[i]);
    reporter.Progress(written, length);
  }
  return true;
}

}  // namespace

bool LoadProgrammer(const cHexFile& programmer, host::cFollowedModule& module, report::cSink& sink) {
  if (module.PortName().empty() || !IsLoadable(programmer)) return false;
  const report::cReporter reporter(sink, report::eStage::Dl);
  // On the heap, so that a worker that cannot be stopped can keep it.
  const auto owned = std::make_unique<cDownloadProtocolServer>();
  cDownloadProtocolServer& server = *owned;
  cServerSession session(server, module, L"DL", reporter);
  if (!session.IsConnected()) return false;
  const std::vector<sProtocolBuffer> requests = PrepareTransfer(server, programmer, reporter);
  if (requests.empty()) return false;
  const bool transferred = Transfer(server, requests, programmer.ImageLength, reporter);
  session.Shutdown();
  reporter.Line(L"Waiting for device to switch to program mode");
  module.WaitForReenumeration(reporter);
  return transferred;
}
