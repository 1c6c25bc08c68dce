// What an upgrade run reports as it goes. The phases and the host's discovery
// report typed events to a sink they are handed, and print nothing; the
// program's views (the console's lines, JSON lines, progress lines) are made
// from the events alone, so that every view tells the same story.
//
// Threads: events are plain values. A sink is called on the thread that runs
// the phase (the program's main thread), one event at a time, in order.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace report {

// The part of the run an event belongs to.
enum class eStage {
  Lookup,  // finding the module and the embedded files
  Diag,    // switching the module into its boot downloader
  Dl,      // loading the flash programmer
  Sdl,     // streaming the image and resetting the module
  Outcome  // the run's last line
};

// One line of the run's transcript, exactly as the console prints it on
// standard output (without the line end).
struct sLine {
  eStage stage;
  std::wstring text;
};

// A note or hint a person can act on (standard error on the console),
// without the line end.
struct sNote {
  eStage stage;
  std::wstring text;
};

// The module's port from now on: where the run found it, and again wherever
// the module is followed to after it re-enumerated.
struct sPort {
  std::wstring name;
};

// How far a transfer has got: bytes the module acknowledged of the total.
// Reported once with nothing acknowledged when the transfer starts, then at
// every acknowledgement; views pace themselves. A transfer is over when
// acknowledged reaches total, or when its stage reports a failure.
struct sProgress {
  eStage stage;
  uint64_t acknowledged;
  uint64_t total;
};

// Why a stage failed: the step that failed (its transcript line), the
// request's address or sequence where it has one, and the module's or the
// system's error code where there is one.
struct sFailure {
  eStage stage;
  std::wstring step;
  std::optional<uint32_t> address;
  std::optional<uint32_t> sequence;
  std::optional<uint32_t> error;
};

// The run ended: upgraded or not, after elapsedMs.
struct sOutcome {
  bool upgraded;
  uint64_t elapsedMs;
};

using Event = std::variant<sLine, sNote, sPort, sProgress, sFailure, sOutcome>;

// Where events go. Implementations are the program's views (and tests'
// recorders).
class cSink {
 public:
  virtual ~cSink() = default;
  virtual void Report(const Event& event) = 0;
};

// The stage's name in machine-readable views: "lookup", "diag", "dl", "sdl",
// "outcome".
const char* StageName(eStage stage);

}  // namespace report
