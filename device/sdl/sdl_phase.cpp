// The SDL phase: greet the programmer, stream the device image to it with a
// window of unacknowledged writes, collect the acknowledgements from the log,
// and reset the module. Its outcome is the outcome of the upgrade.
#include "device/sdl/sdl_phase.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "device/sdl/sdl_packets.h"
#include "device/sdl/sdl_protocol_server.h"
#include "device/sdl/sdl_write_responses.h"
#include "device/server_session.h"
#include "device/transfer_progress.h"
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
  if (!ExchangeWithModule(server, request, L"Sending SDL hello request\n", L"Failed to receive SDL hello response\n",
                          eAttempts::Retry, answer)) {
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

// The streaming's account: the writes sent and the responses counted for
// them, and where in the log the next look starts; the image bytes that the
// responses cover are shown as the status line.
struct sStreamProgress {
  uint32_t total = 0;
  uint32_t nextLogEntry = 0;
  cWriteAcknowledgements writes;
  uint64_t imageSize = 0;
  uint32_t writeSize = 0;  // of every write but perhaps the last
  cTransferProgress shown;
};

bool CollectOne(cSDLProtocolServer& server, sStreamProgress& progress) {
  if (!CollectWriteResponse(server.GetLog(), progress.nextLogEntry, progress.writes)) {
    platform::ConsolePrint(L"Failed to receive SDL response [%u of %u]\n", progress.writes.Acknowledged(),
                           progress.total);
    return false;
  }
  // Writes are answered in order, so n responses cover the first n writes.
  progress.shown.Advance(
      std::min<uint64_t>(uint64_t{progress.writes.Acknowledged()} * progress.writeSize, progress.imageSize));
  return true;
}

// Responses whose address names no write sent, and responses that came while
// no write awaited one, are counted all the same; the console keeps its fixed
// lines, so the notes go to standard error, where whoever looks into a
// module's odd answers finds them.
void NoteOddResponses(const cWriteAcknowledgements& writes) {
  if (writes.NamingNoWrite() != 0) {
    platform::ConsoleExplain(
        L"Note: SDL write responses naming no write sent: %u (each counted for the oldest write awaiting a "
        L"response)\n",
        writes.NamingNoWrite());
  }
  if (writes.WithNoWriteOpen() != 0) {
    platform::ConsoleExplain(L"Note: SDL write responses while no write awaited one: %u (each counted all the same)\n",
                             writes.WithNoWriteOpen());
  }
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
bool SendAndCollect(cSDLProtocolServer& server, const std::vector<sProtocolBuffer>& writes, uint32_t window,
                    sStreamProgress& progress) {
  for (const sProtocolBuffer& write : writes) {
    const bool windowFull = progress.writes.Acknowledged() + window <= progress.writes.SentCount();
    if (windowFull && !CollectOne(server, progress)) return false;
    progress.writes.Sent(sSDLStreamingWrite(write).Address().value_or(0));
    if (!SendWrite(server, write)) return false;
  }
  while (progress.writes.Acknowledged() < progress.total) {
    if (!CollectOne(server, progress)) return false;
  }
  return true;
}

bool Stream(cSDLProtocolServer& server, const std::vector<sProtocolBuffer>& writes, uint32_t window,
            const cMemoryMappedFile& image, uint32_t writeSize) {
  // Only entries logged from now on are inspected.
  sStreamProgress progress{.total = static_cast<uint32_t>(writes.size()),
                           .nextLogEntry = server.GetLog().GetCount(),
                           .writes = {},
                           .imageSize = image.Size,
                           .writeSize = writeSize,
                           .shown = cTransferProgress(L"SDL write", image.Size)};
  const bool streamed = SendAndCollect(server, writes, window, progress);
  NoteOddResponses(progress.writes);
  return streamed;
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
  return Stream(server, writes, std::min(target->windowSize, kMaxUsableWindow), image, target->maxWriteSize) &&
         Reset(server);
}

}  // namespace

bool StreamImage(const cMemoryMappedFile& image, const host::cFollowedModule& module) {
  if (module.PortName().empty() || image.Error != 0 || image.Data == nullptr || image.Size == 0) return false;
  // On the heap, so that a worker that cannot be stopped can keep it.
  const auto owned = std::make_unique<cSDLProtocolServer>();
  cSDLProtocolServer& server = *owned;
  const cServerSession session(server, module, L"SDL");
  return session.IsConnected() && Upgrade(server, image);
}
