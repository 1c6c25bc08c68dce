// The checks every received packet must pass, whichever way it arrived: the
// packet views' validity against the formats they stand for, and the fields
// the phases read and report, recomputed here with their bounds.
//
// Threads: single-threaded fuzz targets only.
#pragma once
#include <cstdint>
#include <span>

#include "fuzz/fuzz_support.h"

namespace fuzz {

// Makes a packet of kind from bytes (an exact-size heap copy, so that any read
// past its end is caught) and checks every view and field read on it. What
// the reads report goes to transcript.
void CheckPacket(int32_t kind, std::span<const uint8_t> bytes, cTranscript& transcript);

}  // namespace fuzz
