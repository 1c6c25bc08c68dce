// The SDL phase: greet the programmer, stream the device image to it with a
// window of unacknowledged writes, collect the acknowledgements from the log,
// and reset the module. Its outcome is the outcome of the upgrade.
#include "device/sdl/sdl_phase.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "device/phase_support.h"
#include "device/sdl/sdl_packets.h"
#include "device/sdl/sdl_protocol_server.h"
#include "device/sdl/sdl_write_responses.h"
#include "image/memory_mapped_file.h"
#include "platform/console.h"
#include "protocol/exchange.h"

namespace {

// Every write and every response takes a log entry; a window larger than this
// could push entries out of the log before the collector reads them, and the
// upgrade would fail although the module acknowledged every write.
constexpr uint32_t kMaxUsableWindow = kSdlLogCapacity / 4;

std::optional<sSdlTargetParameters> Greet(cSDLProtocolServer& server) {
  const sProtocolBuffer request = BuildSdlHelloRequest();
  if (!RequestBuilt(request, L"Failed to build SDL hello request\n")) return std::nullopt;
  sProtocolBuffer answer;
  if (!ExchangeWithModule(server, request, L"Sending SDL hello request\n",
                          L"Failed to receive SDL hello response\n", eAttempts::Retry, answer)) {
    return std::nullopt;
  }
  const std::optional<sSdlTargetParameters> target = ReadSdlTargetParameters(sSDLHello(answer));
  if (!target) {
    platform::ConsolePrint(L"Failed to receive valid SDL hello response\n");
    return std::nullopt;
  }
  platform::ConsolePrint(L"SDL Max Version:    %u\n", target->maxVersion);
  platform::ConsolePrint(L"SDL Min Version:    %u\n", target->minVersion);
  platform::ConsolePrint(L"SDL Max Write Size: %u\n", target->maxWriteSize);
  platform::ConsolePrint(L"SDL Base Address:   %u\n", target->baseAddress);
  platform::ConsolePrint(L"SDL Window Size:    %u\n", target->windowSize);
  platform::ConsolePrint(L"SDL Feature Mask:   0x%02X\n", target->featureMask);
  return target;
}

// Counts of the streaming: writes sent and write responses collected, and the
// addresses of the writes sent but not yet acknowledged.
struct sStreamProgress {
  uint32_t sent = 0;
  uint32_t acknowledged = 0;
  uint32_t total = 0;
  uint32_t nextLogEntry = 0;
  std::vector<uint32_t> unacknowledged;
};

// A write response counts only when it names a write that is on its way and
// not yet acknowledged, in whatever order they come. A second response to one
// write, a response to a write never sent, or one too damaged to name its
// write shows nothing about the writes still open; counting it could end the
// upgrade as a success while a write was lost, so the stream fails instead.
bool TakeAcknowledgement(sStreamProgress& progress, std::optional<uint32_t> address) {
  if (!address) return false;
  const auto open = std::find(progress.unacknowledged.begin(), progress.unacknowledged.end(), *address);
  if (open == progress.unacknowledged.end()) return false;
  progress.unacknowledged.erase(open);
  ++progress.acknowledged;
  return true;
}

bool CollectOne(cSDLProtocolServer& server, sStreamProgress& progress) {
  std::optional<uint32_t> address;
  if (!CollectWriteResponse(server.GetLog(), progress.nextLogEntry, address) ||
      !TakeAcknowledgement(progress, address)) {
    platform::ConsolePrint(L"Failed to receive SDL response [%u of %u]\n", progress.acknowledged,
                           progress.total);
    return false;
  }
  return true;
}

bool SendWrite(cSDLProtocolServer& server, const sProtocolBuffer& write) {
  const sSDLStreamingWrite view(write);
  const uint32_t address = view.Address().value_or(0);
  const uint32_t size = write.GetSize() - kSdlWriteHeaderSize;
  sProtocolBuffer unused;
  if (!SendAndWait(write.GetShared(), server, unused, /*sendOnly=*/true)) {
    platform::ConsolePrint(L"Failed to send SDL write request (0x%08X, %u)\n", address, size);
    return false;
  }
  platform::ConsolePrint(L"Sent SDL write request (0x%08X, %u)\n", address, size);
  return true;
}

// Sends every write, keeping at most window of them unacknowledged, then
// collects the remaining acknowledgements.
bool Stream(cSDLProtocolServer& server, const std::vector<sProtocolBuffer>& writes, uint32_t window) {
  // Only entries logged from now on are inspected.
  sStreamProgress progress{0, 0, static_cast<uint32_t>(writes.size()), server.GetLog().GetCount(), {}};
  for (const sProtocolBuffer& write : writes) {
    if (progress.sent - progress.acknowledged >= window && !CollectOne(server, progress)) return false;
    ++progress.sent;
    progress.unacknowledged.push_back(sSDLStreamingWrite(write).Address().value_or(0));
    if (!SendWrite(server, write)) return false;
  }
  while (progress.acknowledged < progress.total) {
    if (!CollectOne(server, progress)) return false;
  }
  return true;
}

bool Reset(cSDLProtocolServer& server) {
  const sProtocolBuffer request = BuildSdlResetRequest();
  platform::ConsolePrint(L"Sending SDL reset request\n");
  if (!RequestBuilt(request, L"Failed to build SDL reset request\n")) return false;
  sProtocolBuffer answer;
  if (!SendAndWait(request.GetShared(), server, answer)) {
    platform::ConsolePrint(L"Failed to receive SDL reset response\n");
    return false;
  }
  return true;
}

bool Upgrade(cSDLProtocolServer& server, const cMemoryMappedFile& image) {
  const std::optional<sSdlTargetParameters> target = Greet(server);
  if (!target) return false;
  const std::vector<sProtocolBuffer> writes =
      BuildSdlWriteRequests(image.Data, target->maxWriteSize, target->baseAddress, image.Size);
  if (writes.empty()) {
    platform::ConsolePrint(L"Failed to build SDL write requests\n");
    return false;
  }
  return Stream(server, writes, std::min(target->windowSize, kMaxUsableWindow)) && Reset(server);
}

}  // namespace

bool StreamImage(const cMemoryMappedFile& image, const std::wstring& portName) {
  if (portName.empty() || image.Error != 0 || image.Data == nullptr || image.Size == 0) return false;
  cSDLProtocolServer server;
  const cServerSession session(server, portName, L"SDL");
  return session.IsConnected() && Upgrade(server, image);
}
