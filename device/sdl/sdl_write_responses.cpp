// Reads write responses back from the SDL log, sleeping while nothing new has
// arrived and waking as soon as the worker logs a packet.
#include "device/sdl/sdl_write_responses.h"

#include <algorithm>
#include <chrono>

#include "device/packet_fields.h"
#include "device/sdl/sdl_packets.h"
#include "platform/console.h"

namespace {

enum class eEntryOutcome { Continue, WriteResponse, Stop };

void ReportWriteResponse(const sProtocolBuffer& entry) {
  const std::optional<uint32_t> address = sSDLStreamingWrite(entry).Address();
  if (address) {
    platform::ConsolePrint(L"Received SDL write response (0x%08X)\n", *address);
  } else {
    platform::ConsolePrint(L"Received invalid SDL write response\n");
  }
}

void ReportError(tPacketBytes packet) {
  // The error code is shown only when more than the code and the field came.
  const std::optional<uint32_t> code = packet.size() > 5 ? Le32At(packet, 1) : std::nullopt;
  if (code) {
    platform::ConsolePrint(L"Received SDL error (%u)\n", *code);
  } else {
    platform::ConsolePrint(L"Received invalid SDL error\n");
  }
}

eEntryOutcome InspectEntry(const sProtocolBuffer& entry) {
  const tPacketBytes packet(entry.GetData(), entry.GetSize());
  if (packet.empty()) return eEntryOutcome::Stop;  // dropped from the log
  switch (packet[0]) {
    case kSdlWriteResponseCode:
      ReportWriteResponse(entry);
      return eEntryOutcome::WriteResponse;
    case kSdlErrorCode:
      ReportError(packet);
      return eEntryOutcome::Stop;
    case kSdlLogCode:
      platform::ConsolePrint(L"Received SDL log\n");
      return eEntryOutcome::Continue;
    default:
      return eEntryOutcome::Continue;
  }
}

// Inspects the entries from next up to the log's count; Continue when they
// ran out without a write response or a stop condition.
eEntryOutcome InspectNewEntries(cProtocolLog& log, uint32_t& next, std::optional<uint32_t>& address) {
  for (const uint32_t count = log.GetCount(); next < count;) {
    sProtocolBuffer entry;
    log.Get(entry, next++);
    const eEntryOutcome outcome = InspectEntry(entry);
    if (outcome == eEntryOutcome::WriteResponse) address = sSDLStreamingWrite(entry).Address();
    if (outcome != eEntryOutcome::Continue) return outcome;
  }
  return eEntryOutcome::Continue;
}

}  // namespace

bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, uint32_t pauseMs) {
  std::optional<uint32_t> address;
  return CollectWriteResponse(log, next, address, pauseMs);
}

bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, std::optional<uint32_t>& address, uint32_t pauseMs) {
  using std::chrono::milliseconds;
  using Clock = std::chrono::steady_clock;
  address.reset();
  // Only time spent waiting counts: entries that keep arriving without a write
  // response (log packets) cannot use the allowance up early.
  const Clock::duration allowance = milliseconds(uint64_t{kSdlCollectPasses} * pauseMs);
  Clock::duration waited{};
  for (;;) {
    const eEntryOutcome outcome = InspectNewEntries(log, next, address);
    if (outcome != eEntryOutcome::Continue) return outcome == eEntryOutcome::WriteResponse;
    if (waited >= allowance) return false;
    const auto pause = std::min<Clock::duration>(milliseconds(pauseMs), allowance - waited);
    const Clock::time_point start = Clock::now();
    log.WaitForCountAbove(next, static_cast<uint32_t>(
                                    std::chrono::ceil<milliseconds>(pause).count()));
    waited += Clock::now() - start;
  }
}
