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
#include "image/memory_mapped_file.h"
#include "protocol/exchange.h"

namespace {

// Every write and every response takes a log entry; a window larger than this
// could push entries out of the log before the collector reads them, and the
// upgrade would fail although the module acknowledged every write.
constexpr uint32_t kMaxUsableWindow = kSdlLogCapacity / 4;

std::optional<sSdlTargetParameters> Greet(cSDLProtocolServer& server, const report::cReporter& reporter) {
  const sProtocolBuffer request = BuildSdlHelloRequest();
  if (!RequestBuilt(request, L"Failed to build SDL hello request", reporter)) return std::nullopt;
  sProtocolBuffer answer;
  if (!ExchangeWithModule(server, request, {L"Sending SDL hello request", L"Failed to receive SDL hello response"},
                          eAttempts::Retry, reporter, answer)) {
    return std::nullopt;
  }
  const std::optional<sSdlTargetParameters> target = ReadSdlTargetParameters(sSDLHello(answer));
  if (!target) {
    reporter.Failure({}, L"Failed to receive valid SDL hello response");
    return std::nullopt;
  }
  reporter.Line(L"SDL Max Version:    %u", target->maxVersion);
  reporter.Line(L"SDL Min Version:    %u", target->minVersion);
  reporter.Line(L"SDL Max Write Size: %u", target->maxWriteSize);
  reporter.Line(L"SDL Base Address:   %u", target->baseAddress);
  reporter.Line(L"SDL Window Size:    %u", target->windowSize);
  reporter.Line(L"SDL Feature Mask:   0x%02X", target->featureMask);
  return target;
}

// The streaming's account: the writes sent and the responses counted for
// them, and where in the log the next look starts; the image bytes that the
// responses cover are reported as the stream's progress.
struct sStreamProgress {
  uint32_t total = 0;
  uint32_t nextLogEntry = 0;
  cWriteAcknowledgements writes;
  uint64_t imageSize = 0;
  uint32_t writeSize = 0;  // of every write but perhaps the last
};

// The module's error code when a collection stopped at its error packet: the
// last entry it inspected.
std::optional<uint32_t> StoppingError(cProtocolLog& log, uint32_t next) {
  if (next == 0) return std::nullopt;
  sProtocolBuffer entry;
  log.Get(entry, next - 1);
  return SdlErrorCode({entry.GetData(), entry.GetSize()});
}

// A failed collection names the write awaiting its response: responses
// count in order, so it is the one after those acknowledged.
bool CollectOne(cSDLProtocolServer& server, const std::vector<sProtocolBuffer>& writes, sStreamProgress& progress,
                const report::cReporter& reporter) {
  if (!CollectWriteResponse(server.GetLog(), progress.nextLogEntry, progress.writes, reporter)) {
    const uint32_t awaited = progress.writes.Acknowledged();
    reporter.Failure({.address = awaited < writes.size() ? sSDLStreamingWrite(writes[awaited]).Address() : std::nullopt,
                      .sequence = awaited,
                      .error = StoppingError(server.GetLog(), progress.nextLogEntry)},
                     L"Failed to receive SDL response [%u of %u]", awaited, progress.total);
    return false;
  }
  // Writes are answered in order, so n responses cover the first n writes.
  reporter.Progress(
      std::min<uint64_t>(uint64_t{progress.writes.Acknowledged()} * progress.writeSize, progress.imageSize),
      progress.imageSize);
  return true;
}

// Responses whose address names no write sent, and responses that came while
// no write awaited one, are counted all the same; the console keeps its fixed
// lines, so the notes go beside them (standard error on the console), where
// whoever looks into a module's odd answers finds them.
void NoteOddResponses(const cWriteAcknowledgements& writes, const report::cReporter& reporter) {
  if (writes.NamingNoWrite() != 0) {
    reporter.Note(
        L"Note: SDL write responses naming no write sent: %u (each counted for the oldest write awaiting a "
        L"response)",
        writes.NamingNoWrite());
  }
  if (writes.WithNoWriteOpen() != 0) {
    reporter.Note(L"Note: SDL write responses while no write awaited one: %u (each counted all the same)",
                  writes.WithNoWriteOpen());
  }
}

bool SendWrite(cSDLProtocolServer& server, const sProtocolBuffer& write, uint32_t sequence,
               const report::cReporter& reporter) {
  const sSDLStreamingWrite view(write);
  const uint32_t address = view.Address().value_or(0);
  const uint32_t size = write.GetSize() - kSdlWriteHeaderSize;
  sProtocolBuffer unused;
  if (!SendAndWait(write.GetShared(), server, unused, /*sendOnly=*/true)) {
    reporter.Failure({.address = address, .sequence = sequence}, L"Failed to send SDL write request (0x%08X, %u)",
                     address, size);
    return false;
  }
  reporter.Line(L"Sent SDL write request (0x%08X, %u)", address, size);
  return true;
}

// Sends every write, keeping at most window of them unacknowledged, then
// collects the remaining acknowledgements.
bool SendAndCollect(cSDLProtocolServer& server, const std::vector<sProtocolBuffer>& writes, uint32_t window,
                    sStreamProgress& progress, const report::cReporter& reporter) {
  for (const sProtocolBuffer& write : writes) {
    const bool windowFull = progress.writes.Acknowledged() + window <= progress.writes.SentCount();
    if (windowFull && !CollectOne(server, writes, progress, reporter)) return false;
    const uint32_t sequence = progress.writes.SentCount();
    progress.writes.Sent(sSDLStreamingWrite(write).Address().value_or(0));
    if (!SendWrite(server, write, sequence, reporter)) return false;
  }
  while (progress.writes.Acknowledged() < progress.total) {
    if (!CollectOne(server, writes, progress, reporter)) return false;
  }
  return true;
}

bool Stream(cSDLProtocolServer& server, const std::vector<sProtocolBuffer>& writes, uint32_t window,
            const cMemoryMappedFile& image, uint32_t writeSize, const report::cReporter& reporter) {
  // Only entries logged from now on are inspected.
  sStreamProgress progress{.total = static_cast<uint32_t>(writes.size()),
                           .nextLogEntry = server.GetLog().GetCount(),
                           .writes = {},
                           .imageSize = image.Size,
                           .writeSize = writeSize};
  reporter.Progress(0, image.Size);
  const bool streamed = SendAndCollect(server, writes, window, progress, reporter);
  NoteOddResponses(progress.writes, reporter);
  return streamed;
}

bool Reset(cSDLProtocolServer& server, const report::cReporter& reporter) {
  const sProtocolBuffer request = BuildSdlResetRequest();
  reporter.Line(L"Sending SDL reset request");
  if (!RequestBuilt(request, L"Failed to build SDL reset request", reporter)) return false;
  sProtocolBuffer answer;
  if (!SendAndWait(request.GetShared(), server, answer)) {
    reporter.Failure({}, L"Failed to receive SDL reset response");
    return false;
  }
  return true;
}

bool Upgrade(cSDLProtocolServer& server, const cMemoryMappedFile& image, const report::cReporter& reporter) {
  const std::optional<sSdlTargetParameters> target = Greet(server, reporter);
  if (!target) return false;
  const std::vector<sProtocolBuffer> writes =
      BuildSdlWriteRequests(image.Data, target->maxWriteSize, target->baseAddress, image.Size);
  if (writes.empty()) {
    reporter.Failure({}, L"Failed to build SDL write requests");
    return false;
  }
  return Stream(server, writes, std::min(target->windowSize, kMaxUsableWindow), image, target->maxWriteSize,
                reporter) &&
         Reset(server, reporter);
}

}  // namespace

bool StreamImage(const cMemoryMappedFile& image, const host::cFollowedModule& module, report::cSink& sink) {
  if (module.PortName().empty() || image.Error != 0 || image.Data == nullptr || image.Size == 0) return false;
  const report::cReporter reporter(sink, report::eStage::Sdl);
  // On the heap, so that a worker that cannot be stopped can keep it.
  const auto owned = std::make_unique<cSDLProtocolServer>();
  cSDLProtocolServer& server = *owned;
  const cServerSession session(server, module, L"SDL", reporter);
  return session.IsConnected() && Upgrade(server, image, reporter);
}
