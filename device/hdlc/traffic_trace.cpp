// Trace lines: formatted into one reused buffer under the trace's lock and
// written with one call, so that lines of different threads never mix.
#include "device/hdlc/traffic_trace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

// Taken while the program's statics are set up, before main runs.
const std::chrono::steady_clock::time_point gProgramStart = std::chrono::steady_clock::now();

constexpr char kHexDigits[] = "0123456789abcdef";

const char* DirectionName(eTraceDirection direction) {
  switch (direction) {
    case eTraceDirection::Sent:
      return "tx";
    case eTraceDirection::Received:
      return "rx";
    case eTraceDirection::SentDamaged:
      return "tx-bad";
    case eTraceDirection::ReceivedDamaged:
      return "rx-bad";
  }
  return "?";
}

char* PutHexByte(char* out, uint8_t byte) {
  out[0] = kHexDigits[byte >> 4];
  out[1] = kHexDigits[byte & 0x0F];
  return out + 2;
}

std::string HeaderLine(const char* program) {
  return std::string("# ") + program +
         " traffic trace: microseconds since start, direction (tx sent, rx received; -bad: the frame failed "
         "its check and its bytes include the FCS), phase, packet code, packet bytes in hex after HDLC "
         "decoding\n";
}

}  // namespace

std::chrono::microseconds TimeSinceProgramStart() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - gProgramStart);
}

// Sized once and filled through a pointer: an SDL write is a 4 KiB packet,
// and the worker that formats it is the one streaming the image.
void FormatTraceLine(std::string& line, std::chrono::microseconds sinceStart, eTraceDirection direction,
                     const char* phase, const uint8_t* bytes, size_t size) {
  char head[64];
  const int printed = std::snprintf(head, sizeof head, "%10" PRId64 " %-6s %-4s ",
                                    static_cast<int64_t>(sinceStart.count()), DirectionName(direction), phase);
  const size_t headLength = printed > 0 ? std::min(static_cast<size_t>(printed), sizeof head - 1) : 0;
  line.resize(headLength + 2 + 3 * size + 1);
  char* out = std::copy(head, head + headLength, line.data());
  out = size == 0 ? std::copy_n("--", 2, out) : PutHexByte(out, bytes[0]);
  for (size_t i = 0; i < size; ++i) {
    *out++ = ' ';
    out = PutHexByte(out, bytes[i]);
  }
  *out = '\n';
}

std::unique_ptr<cTrafficTrace> cTrafficTrace::Open(platform::cOutputFile file, const char* program) {
  if (!file.IsNamed()) return nullptr;
  if (!file.IsOpen()) {
    std::fprintf(stderr, "%s: cannot write the traffic trace to %s (system error %" PRIu32 ")\n", program,
                 file.Name().c_str(), file.Error());
    return nullptr;
  }
  return std::make_unique<cTrafficTrace>(std::move(file), program);
}

cTrafficTrace::cTrafficTrace(platform::cOutputFile file, const char* program)
    : file_(std::move(file)), program_(program) {
  line_ = HeaderLine(program);
  WriteLine();
}

void cTrafficTrace::Frame(eTraceDirection direction, const char* phase, const uint8_t* bytes, size_t size) {
  const std::chrono::microseconds now = TimeSinceProgramStart();
  std::lock_guard guard(lock_);
  if (stopped_) return;
  FormatTraceLine(line_, now, direction, phase, bytes, size);
  WriteLine();
}

void cTrafficTrace::WriteLine() {
  if (file_.Write(line_.data(), line_.size())) return;
  stopped_ = true;
  std::fprintf(stderr, "%s: the traffic trace to %s stopped: the file could not be written\n", program_.c_str(),
               file_.Name().c_str());
}
