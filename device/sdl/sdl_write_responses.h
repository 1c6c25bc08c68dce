// Collecting the programmer's write responses from the SDL protocol log while
// streaming writes go out transmit-only, and keeping account of which writes
// they answer.
//
// Threads: the phase's thread; the server's worker appends to the log
// meanwhile, and the log's own lock keeps the two apart.
#pragma once
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "device/hdlc/packet_fields.h"
#include "protocol/protocol_log.h"
#include "report/reporter.h"

// A collection gives up after kSdlCollectPasses waits of kSdlCollectPauseMs
// (5 s) spent waiting for the log without finding a write response.
inline constexpr uint32_t kSdlCollectPasses = 50;
inline constexpr uint32_t kSdlCollectPauseMs = 100;
// However busy the log, one collection ends this many allowances (10 s)
// after its start.
inline constexpr uint32_t kSdlCollectCapFactor = 2;

// The writes of one stream and the responses counted for them. Responses are
// counted, not matched: programmers differ in the address they put in a
// response (the write's own, one relative to the base, the end address, the
// base address or zero every time), and some append a status byte. A response
// closes the open write its address names, else the oldest open write. The
// one response that does not count is a proven duplicate: one naming a write
// that an earlier counted response named already, once responses have named
// at least two different writes. Only then has the module shown that it names
// its writes, and counting the second answer would let the stream end while
// another write had no answer at all; before that, a repeated address is
// just the module's habit and counts for the oldest open write.
class cWriteAcknowledgements {
 public:
  // A write to address is on its way.
  void Sent(uint32_t address);
  // Takes one write response; address is its address field, none when the
  // response is too short to carry one. False for a duplicate, which does not
  // count; true when the response counted.
  bool Take(std::optional<uint32_t> address);

  uint32_t SentCount() const { return static_cast<uint32_t>(writes_.size()); }
  uint32_t Acknowledged() const { return acknowledged_; }
  // Counted responses whose address named no write sent before them.
  uint32_t NamingNoWrite() const { return namingNoWrite_; }
  // Counted responses that came while every write sent had been answered.
  uint32_t WithNoWriteOpen() const { return withNoWriteOpen_; }

 private:
  // Closed: a response naming another write or none was counted for it;
  // Named: closed or not, a counted response has named it.
  enum class eWrite : uint8_t { Open, Closed, Named };

  bool IsDuplicate(size_t named) const;
  void CloseOldest();

  std::vector<eWrite> writes_;                      // in the order sent
  std::unordered_map<uint32_t, size_t> byAddress_;  // address to index in writes_
  size_t oldestOpen_ = 0;                           // no write before it is open
  uint32_t writesNamed_ = 0;                        // writes in state Named
  uint32_t acknowledged_ = 0;
  uint32_t namingNoWrite_ = 0;
  uint32_t withNoWriteOpen_ = 0;
};

// The code an SDL error packet (0D) carries, when packet is one and holds
// more than its code and the code's field; the collection reports an error
// without it as invalid.
std::optional<uint32_t> SdlErrorCode(PacketBytes packet);

// Inspects the log entries from next on, advancing next past each, until a
// write response (08, counted whether or not it is well formed) or a stop
// condition: an error packet (0D) or an entry the log no longer holds.
// Reports a line for each write response, error and log packet (0E) met; other
// entries, the host's own writes among them, are passed over. When the entries
// run out, waits for the next one, at most pauseMs at a time, waking as soon
// as the worker logs a packet; gives up (after one last look at the log) once
// kSdlCollectPasses * pauseMs have been spent waiting, or kSdlCollectCapFactor
// times that has passed since the start, whatever arrived meanwhile. Only
// waiting counts against the allowance, so a burst of log packets does not
// shorten it. True when a write response was found.
bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, const report::cReporter& reporter,
                          uint32_t pauseMs = kSdlCollectPauseMs);
// The same, giving each write response found to writes: a duplicate is
// reported like any response and the collection goes on, within the same
// allowance. True when a response counted.
bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, cWriteAcknowledgements& writes,
                          const report::cReporter& reporter, uint32_t pauseMs = kSdlCollectPauseMs);
