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
#include "device/server_session.h"
#include "host/device_lookup.h"
#include "image/hex_file.h"
#include "platform/console.h"
#include "protocol/exchange.h"

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

bool IsLoadable(const cHexFile& programmer) {
  return programmer.Error == 0 && programmer.Image && programmer.ImageLength != 0 &&
         programmer.ImageLength <= programmer.ImageCapacity && programmer.LoadAddress != kNoAddress &&
         programmer.EntryAddress != kNoAddress;
}

// Asks the downloader for its parameters and prints them; nothing when it
// does not answer properly (the failure has been printed).
std::optional<sDlParameters> QueryParameters(cDownloadProtocolServer& server) {
  const sProtocolBuffer request = BuildDlParametersRequest();
  if (!RequestBuilt(request, L"Failed to build DL parameters request\n")) return std::nullopt;
  sProtocolBuffer answer;
  if (!ExchangeWithModule(server, request, L"Sending DL parameters request\n",
                          L"Failed to receive DL parameters response\n", eAttempts::Retry, answer)) {
    return std::nullopt;
  }
  const std::optional<sDlParameters> parameters = ReadDlParameters(sDownloadResponse(answer));
  if (!parameters) {
    platform::ConsolePrint(L"Failed to receive valid DL parameters response\n");
    return std::nullopt;
  }
  platform::ConsolePrint(L"DL Current Version:    %u\n", parameters->currentVersion);
  platform::ConsolePrint(L"DL Minimum Version:    %u\n", parameters->minimumVersion);
  platform::ConsolePrint(L"DL Maximum Write Size: %u\n", parameters->maxWriteSize);
  return parameters;
}

// Every request the transfer sends, in order: the writes, then the go request.
// Empty when the module's parameters are not known or a request cannot be
// built (the failure has been printed).
std::vector<sProtocolBuffer> PrepareTransfer(cDownloadProtocolServer& server, const cHexFile& programmer) {
  const std::optional<sDlParameters> parameters = QueryParameters(server);
  if (!parameters) return {};
  const uint32_t blockSize = std::min(parameters->maxWriteSize, kMaxWriteBlockSize);
  const sProtocolBuffer go = BuildDlGoRequest(programmer.EntryAddress);
  if (!RequestBuilt(go, L"Failed to build DL go request\n")) return {};
  std::vector<sProtocolBuffer> requests =
      BuildDlWriteRequests(blockSize, programmer.Image.get(), programmer.ImageLength, programmer.LoadAddress);
  if (requests.empty()) {
    platform::ConsolePrint(L"Failed to build DL write requests\n");
    return {};
  }
  requests.push_back(go);
  return requests;
}

// Sends each write and waits for its answer, then sends the go request, which
// the downloader does not answer before starting the programmer. Stops at the
// first failed exchange.
bool Transfer(cDownloadProtocolServer& server, const std::vector<sProtocolBuffer>& requests) {
  for (size_t i = 0; i < requests.size(); ++i) {
    const bool isGo = i + 1 == requests.size();
    sProtocolBuffer answer;
    if (!SendAndWait(requests[i].GetShared(), server, answer, isGo)) {
      platform::ConsolePrint(L"Failed to receive DL response\n");
      return false;
    }
  }
  return true;
}

}  // namespace

bool LoadProgrammer(const cHexFile& programmer, host::cFollowedModule& module) {
  if (module.PortName().empty() || !IsLoadable(programmer)) return false;
  // On the heap, so that a worker that cannot be stopped can keep it.
  const auto owned = std::make_unique<cDownloadProtocolServer>();
  cDownloadProtocolServer& server = *owned;
  cServerSession session(server, module, L"DL");
  if (!session.IsConnected()) return false;
  const std::vector<sProtocolBuffer> requests = PrepareTransfer(server, programmer);
  if (requests.empty()) return false;
  const bool transferred = Transfer(server, requests);
  session.ShutDown();
  platform::ConsolePrint(L"Waiting for device to switch to program mode\n");
  module.WaitForReenumeration();
  return transferred;
}
