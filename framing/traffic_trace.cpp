// Trace lines: formatted on the thread that saw the frame and written whole
// by the trace's writer thread, so that lines of different threads never mix
// and a slow file never holds up the line.
#include "framing/traffic_trace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
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

// A line for standard error, printf-style over UTF-8 text, handed to the
// owner's note sink (none: the note is dropped).
void Note(const cTrafficTrace::NoteSink& notes, const char* format, ...) {
  if (!notes) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  notes(text);
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

std::unique_ptr<cTrafficTrace> cTrafficTrace::Open(platform::sOpenedFile opened, const char* program, NoteSink notes,
                                                   size_t queueLimitBytes) {
  const std::string& name = opened.file.Name();
  if (!opened.file.IsNamed()) return nullptr;
  if (!opened.refusal.empty()) {
    Note(notes, "%s: refusing to write the traffic trace to %s: %s", program, name.c_str(), opened.refusal.c_str());
    return nullptr;
  }
  if (!opened.status) {
    Note(notes, "%s: cannot write the traffic trace to %s (system error %" PRIu32 ")", program, name.c_str(),
         opened.status.code);
    return nullptr;
  }
  return std::make_unique<cTrafficTrace>(std::move(opened.file), program, std::move(notes), queueLimitBytes);
}

namespace {

// Writes lines into the file on the writer thread; on the first failure says
// so, and the writer hands it nothing more.
cLineWriter::Sink FileSink(platform::cOutputFile file, const std::string& program,
                           const cTrafficTrace::NoteSink& notes) {
  auto shared = std::make_shared<platform::cOutputFile>(std::move(file));
  return [shared, program, notes](const std::string& line) {
    if (shared->Write(line.data(), line.size())) return true;
    Note(notes, "%s: the traffic trace to %s stopped: the file could not be written", program.c_str(),
         shared->Name().c_str());
    return false;
  };
}

}  // namespace

cTrafficTrace::cTrafficTrace(platform::cOutputFile file, const char* program, NoteSink notes, size_t queueLimitBytes)
    : program_(program),
      name_(file.Name()),
      notes_(std::move(notes)),
      writer_(FileSink(std::move(file), program, notes_), queueLimitBytes) {
  if (!writer_.Start()) {
    Note(notes_, "%s: the traffic trace to %s stopped: no thread to write it", program, name_.c_str());
  }
  writer_.Push(HeaderLine(program));
}

cTrafficTrace::~cTrafficTrace() { Finish(); }

void cTrafficTrace::Finish() {
  if (finished_) return;
  finished_ = true;
  const uint64_t dropped = writer_.Dropped();
  const std::string count = std::to_string(dropped);
  const bool done = writer_.Finish(
      dropped == 0 ? std::string() : "# " + count + " lines left out: the file did not keep up\n", kFinishTimeoutMs);
  if (dropped != 0) {
    Note(notes_, "%s: the traffic trace to %s left out %s lines: the file did not keep up", program_.c_str(),
         name_.c_str(), count.c_str());
  }
  if (!done) {
    Note(notes_, "%s: the traffic trace to %s is incomplete: the file took more than %" PRIu32 " ms to take the rest",
         program_.c_str(), name_.c_str(), kFinishTimeoutMs);
  }
}

void cTrafficTrace::Frame(eTraceDirection direction, const char* phase, const uint8_t* bytes, size_t size) {
  std::string line;
  FormatTraceLine(line, TimeSinceProgramStart(), direction, phase, bytes, size);
  writer_.Push(std::move(line));
}
