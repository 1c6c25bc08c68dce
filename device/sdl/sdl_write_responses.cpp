// Reads write responses back from the SDL log, sleeping while nothing new has
// arrived and waking as soon as the worker logs a packet, and keeps account of
// the writes they answer.
#include "device/sdl/sdl_write_responses.h"

#include <algorithm>
#include <chrono>

#include "device/hdlc/packet_fields.h"
#include "device/sdl/sdl_packets.h"

void cWriteAcknowledgements::Sent(uint32_t address) {
  byAddress_.emplace(address, writes_.size());
  writes_.push_back(eWrite::Open);
}

bool cWriteAcknowledgements::Take(std::optional<uint32_t> address) {
  const auto named = address ? byAddress_.find(*address) : byAddress_.end();
  if (named != byAddress_.end() && IsDuplicate(named->second)) return false;
  if (oldestOpen_ == writes_.size()) ++withNoWriteOpen_;
  if (named == byAddress_.end()) {
    if (address) ++namingNoWrite_;
    CloseOldest();
  } else {
    eWrite& write = writes_[named->second];
    if (write == eWrite::Open) {
      write = eWrite::Named;
      ++writesNamed_;
    } else {
      // Closed in turn by an earlier response, or a repeat that is no proven
      // duplicate: the response counts for the oldest open write.
      if (write == eWrite::Closed) ++writesNamed_;
      write = eWrite::Named;
      CloseOldest();
    }
  }
  ++acknowledged_;
  while (oldestOpen_ < writes_.size() && writes_[oldestOpen_] != eWrite::Open) ++oldestOpen_;
  return true;
}

// A repeat is a duplicate only once the module has named two different
// writes: a module that names one address in every response (its base, or
// zero) has not shown that it names its writes at all.
bool cWriteAcknowledgements::IsDuplicate(size_t named) const {
  return writes_[named] == eWrite::Named && writesNamed_ >= 2;
}

// A response that arrives while no write is open (a window of 0 awaits one
// before the first write) still counts; it closes nothing.
void cWriteAcknowledgements::CloseOldest() {
  if (oldestOpen_ < writes_.size()) writes_[oldestOpen_] = eWrite::Closed;
}

// The error code is taken only when more than the code and the field came.
std::optional<uint32_t> SdlErrorCode(PacketBytes packet) {
  if (packet.size() <= 5 || packet[0] != kSdlErrorCode) return std::nullopt;
  return Le32At(packet, 1);
}

namespace {

enum class eEntryOutcome { Continue, WriteResponse, Stop };

// The address field of a write response, whatever its length, when the
// packet reaches that far.
std::optional<uint32_t> ResponseAddress(PacketBytes packet) { return Le32At(packet, 1); }

void ReportWriteResponse(const sProtocolBuffer& entry, const report::cReporter& reporter) {
  const std::optional<uint32_t> address = sSDLStreamingWrite(entry).Address();
  if (address) {
    reporter.Line(L"Received SDL write response (0x%08X)", *address);
  } else {
    reporter.Line(L"Received invalid SDL write response");
  }
}

void ReportError(PacketBytes packet, const report::cReporter& reporter) {
  if (const std::optional<uint32_t> code = SdlErrorCode(packet)) {
    reporter.Line(L"Received SDL error (%u)", *code);
  } else {
    reporter.Line(L"Received invalid SDL error");
  }
}

eEntryOutcome InspectEntry(const sProtocolBuffer& entry, const report::cReporter& reporter) {
  const PacketBytes packet(entry.GetData(), entry.GetSize());
  if (packet.empty()) return eEntryOutcome::Stop;  // dropped from the log
  switch (packet[0]) {
    case kSdlWriteResponseCode:
      ReportWriteResponse(entry, reporter);
      return eEntryOutcome::WriteResponse;
    case kSdlErrorCode:
      ReportError(packet, reporter);
      return eEntryOutcome::Stop;
    case kSdlLogCode:
      reporter.Line(L"Received SDL log");
      return eEntryOutcome::Continue;
    default:
      return eEntryOutcome::Continue;
  }
}

// Whether a write response found counts: every one does unless writes (when
// given) finds it a duplicate.
bool Counts(const sProtocolBuffer& response, cWriteAcknowledgements* writes) {
  return writes == nullptr || writes->Take(ResponseAddress({response.GetData(), response.GetSize()}));
}

// Inspects the entries from next up to the log's count; Continue when they
// ran out without a counted write response or a stop condition.
eEntryOutcome InspectNewEntries(cProtocolLog& log, uint32_t& next, cWriteAcknowledgements* writes,
                                const report::cReporter& reporter) {
  for (const uint32_t count = log.GetCount(); next < count;) {
    sProtocolBuffer entry;
    log.Get(entry, next++);
    const eEntryOutcome outcome = InspectEntry(entry, reporter);
    if (outcome == eEntryOutcome::WriteResponse && !Counts(entry, writes)) continue;
    if (outcome != eEntryOutcome::Continue) return outcome;
  }
  return eEntryOutcome::Continue;
}

bool Collect(cProtocolLog& log, uint32_t& next, cWriteAcknowledgements* writes, const report::cReporter& reporter,
             uint32_t pauseMs) {
  using std::chrono::milliseconds;
  using Clock = std::chrono::steady_clock;
  // Only time spent waiting counts against the allowance: entries that keep
  // arriving without a counted write response (log packets, duplicates)
  // cannot use it up early, nor stretch it. Whatever arrives, one collection
  // ends kSdlCollectCapFactor allowances after its start: a module that sends
  // log packets as fast as they are reported never leaves time to wait.
  const Clock::duration allowance = milliseconds(uint64_t{kSdlCollectPasses} * pauseMs);
  const Clock::time_point cap = Clock::now() + kSdlCollectCapFactor * allowance;
  Clock::duration waited{};
  for (;;) {
    const eEntryOutcome outcome = InspectNewEntries(log, next, writes, reporter);
    if (outcome != eEntryOutcome::Continue) return outcome == eEntryOutcome::WriteResponse;
    const Clock::time_point start = Clock::now();
    if (waited >= allowance || start >= cap) return false;
    const auto pause = std::min({Clock::duration(milliseconds(pauseMs)), allowance - waited, cap - start});
    log.WaitForCountAbove(next, static_cast<uint32_t>(std::chrono::ceil<milliseconds>(pause).count()));
    waited += Clock::now() - start;
  }
}

}  // namespace

bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, const report::cReporter& reporter, uint32_t pauseMs) {
  return Collect(log, next, nullptr, reporter, pauseMs);
}

bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, cWriteAcknowledgements& writes,
                          const report::cReporter& reporter, uint32_t pauseMs) {
  return Collect(log, next, &writes, reporter, pauseMs);
}
