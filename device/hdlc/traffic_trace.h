// A trace of the traffic on the module's line for support: one text line per
// frame sent or received, with the time since the program started, the
// direction, the protocol phase, the packet code and the packet bytes in hex
// as they are after HDLC decoding. Frames that fail their check are traced
// too, marked, with their FCS bytes. The updater and the module simulator
// write the same format, so that the two sides of one run can be laid side
// by side.
//
// Threads: Frame may be called from any thread; each line is written whole.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/output_file.h"

enum class eTraceDirection {
  Sent,             // "tx"
  Received,         // "rx"
  SentDamaged,      // "tx-bad": sent with an FCS that does not check
  ReceivedDamaged,  // "rx-bad": failed its check on arrival
};

class cTrafficTrace {
 public:
  // A trace into file, which names program in its first line; null when the
  // file is not named. A named file that cannot be written is reported on
  // standard error and gives null too.
  static std::unique_ptr<cTrafficTrace> Open(platform::cOutputFile file, const char* program);

  // One line for one frame: bytes are its payload, or, for a damaged frame,
  // everything it held between its flags after unescaping.
  void Frame(eTraceDirection direction, const char* phase, const uint8_t* bytes, size_t size);

  // Use Open, which reports a file that cannot be opened.
  cTrafficTrace(platform::cOutputFile file, const char* program);

 private:
  // Writes line_; on failure says so once and stops the trace.
  void WriteLine();

  std::mutex lock_;
  platform::cOutputFile file_;
  std::string program_;
  std::string line_;      // reused, so that a trace costs no allocation per frame
  bool stopped_ = false;  // a write failed; said once, nothing more is written
};

// The text of one trace line, "\n" included.
void FormatTraceLine(std::string& line, std::chrono::microseconds sinceStart, eTraceDirection direction,
                     const char* phase, const uint8_t* bytes, size_t size);

// The time since the program started, as traces count it.
std::chrono::microseconds TimeSinceProgramStart();
