// Collecting the programmer's write responses from the SDL protocol log while
// streaming writes go out transmit-only.
//
// Threads: the phase's thread; the server's worker appends to the log
// meanwhile, and the log's own lock keeps the two apart.
#pragma once
#include <cstdint>
#include <optional>

#include "protocol/protocol_log.h"

// A collection gives up after kSdlCollectPasses waits of kSdlCollectPauseMs
// (5 s) spent waiting for the log without finding a write response.
inline constexpr uint32_t kSdlCollectPasses = 50;
inline constexpr uint32_t kSdlCollectPauseMs = 100;

// Inspects the log entries from next on, advancing next past each, until a
// write response (08, counted whether or not it is well formed) or a stop
// condition: an error packet (0D) or an entry the log no longer holds. Prints
// a line for each write response, error and log packet (0E) met; other
// entries, the host's own writes among them, are passed over. When the entries
// run out, waits for the next one, at most pauseMs at a time, waking as soon
// as the worker logs a packet; gives up (after one last look at the log) once
// kSdlCollectPasses * pauseMs have been spent waiting. Only waiting counts, so
// a burst of log packets does not shorten the allowance. True when a write
// response was found.
bool CollectWriteResponse(cProtocolLog& log, uint32_t& next,
                          uint32_t pauseMs = kSdlCollectPauseMs);
// The same, also giving the address that the write response names (none when
// nothing was found or the response is malformed).
bool CollectWriteResponse(cProtocolLog& log, uint32_t& next, std::optional<uint32_t>& address,
                          uint32_t pauseMs = kSdlCollectPauseMs);
