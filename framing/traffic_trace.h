// A trace of the traffic on the module's line for support: one text line per
// frame sent or received, with the time since the program started, the
// direction, the protocol phase, the packet code and the packet bytes in hex
// as they are after HDLC decoding. Frames that fail their check are traced
// too, marked, with their FCS bytes. The updater and the module simulator
// write the same format, so that the two sides of one run can be laid side
// by side.
//
// The lines are written by a thread of the trace's own, from a bounded
// queue: a file that is slow or stuck costs trace lines, never the protocol's
// time. Lines that do not fit are dropped and counted, and the count is told
// at the end, in the trace and on standard error.
//
// Threads: Frame may be called from any thread; each line is written whole.
// Finish (or the destruction) comes after the last Frame that is to be
// written; a Frame after Finish is dropped. The notes for standard error go
// to the note sink the owner hands, which the writer thread calls too.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "framing/line_writer.h"
#include "platform/output_file.h"

enum class eTraceDirection {
  Sent,             // "tx"
  Received,         // "rx"
  SentDamaged,      // "tx-bad": sent with an FCS that does not check
  ReceivedDamaged,  // "rx-bad": failed its check on arrival
};

class cTrafficTrace {
 public:
  // Takes one note for standard error: a line of UTF-8 text without its end.
  // Called from the thread that opens or finishes the trace, and from the
  // trace's writer thread.
  using NoteSink = std::function<void(const std::string& line)>;

  // Lines that may wait for the file at any one time, in bytes: some
  // hundreds of 4 KiB image writes.
  static constexpr size_t kQueueLimitBytes = size_t{4} << 20;
  // How long the end of the trace may hold up the end of the program.
  static constexpr uint32_t kFinishTimeoutMs = 2000;

  // A trace into the opened file, which names program in its first line and
  // in its notes; null when the file is not named. A named file that could
  // not be opened, or was refused, is told to notes and gives null too.
  static std::unique_ptr<cTrafficTrace> Open(platform::sOpenedFile opened, const char* program, NoteSink notes,
                                             size_t queueLimitBytes = kQueueLimitBytes);

  // One line for one frame: bytes are its payload, or, for a damaged frame,
  // everything it held between its flags after unescaping. Formatted on the
  // calling thread and queued; never waits for the file.
  void Frame(eTraceDirection direction, const char* phase, const uint8_t* bytes, size_t size);

  // Use Open, which reports a file that cannot be opened.
  cTrafficTrace(platform::cOutputFile file, const char* program, NoteSink notes, size_t queueLimitBytes);
  // Finish, when it has not run.
  ~cTrafficTrace();
  // Once, from the owner: lets the queued lines be written, with a last line
  // counting the dropped ones, waiting at most kFinishTimeoutMs for the file;
  // notes how many lines were dropped, or that the file did not take the
  // rest. Later frames are dropped.
  void Finish();

 private:
  std::string program_;
  std::string name_;
  NoteSink notes_;
  cLineWriter writer_;
  bool finished_ = false;
};

// The text of one trace line, "\n" included.
void FormatTraceLine(std::string& line, std::chrono::microseconds sinceStart, eTraceDirection direction,
                     const char* phase, const uint8_t* bytes, size_t size);

// The time since the program started, as traces count it.
std::chrono::microseconds TimeSinceProgramStart();
