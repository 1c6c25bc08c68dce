// Reads write responses back from the SDL log, pacing itself while nothing new
// has arrived.
#include "device/sdl/sdl_write_responses.h"

#include <chrono>
#include <thread>

#include "device/packet_fields.h"
#include "device/sdl/sdl_packets.h"
#include "platform/console.h"

namespace {

enum class eEntryOutcome { eContinue, eWriteResponse, eStop };

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
  if (packet.empty()) return eEntryOutcome::eStop;  // dropped from the log
  switch (packet[0]) {
    case kSdlWriteResponseCode:
      ReportWriteResponse(entry);
      return eEntryOutcome::eWriteResponse;
    case kSdlErrorCode:
      ReportError(packet);
      return eEntryOutcome::eStop;
    case kSdlLogCode:
      platform::ConsolePrint(L"Received SDL log\n");
      return eEntryOutcome::eContinue;
    default:
      return eEntryOutcome::eContinue;
  }
}

}  // namespace

bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, uint32_t pauseMs) {
  std::optional<uint32_t> address;
  return CollectWriteResponse(log, next, address, pauseMs);
}

bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, std::optional<uint32_t>& address, uint32_t pauseMs) {
  address.reset();
  for (uint32_t pass = 0; pass < kSdlCollectPasses; ++pass) {
    for (const uint32_t count = log.GetCount(); next < count;) {
      sProtocolBuffer entry;
      log.Get(entry, next++);
      const eEntryOutcome outcome = InspectEntry(entry);
      if (outcome == eEntryOutcome::eWriteResponse) address = sSDLStreamingWrite(entry).Address();
      if (outcome != eEntryOutcome::eContinue) return outcome == eEntryOutcome::eWriteResponse;
    }
    if (pass + 1 < kSdlCollectPasses) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return false;
}
