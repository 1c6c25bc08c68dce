// One stage's voice: the phases and the host's discovery report their lines,
// notes, progress and failures through it to the run's sink, each event
// tagged with the stage, instead of printing them.
//
// Threads: the thread that runs the stage (the program's main thread), as
// for the sink it reports to.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "report/events.h"

namespace report {

// printf-style over wide text (%ls for wide strings; the same on both
// platforms).
std::wstring Formatted(const wchar_t* format, ...);

// What a failing step names besides its line, where it has it.
struct sFailureFacts {
  std::optional<uint32_t> address = std::nullopt;
  std::optional<uint32_t> sequence = std::nullopt;
  std::optional<uint32_t> error = std::nullopt;
};

class cReporter {
 public:
  cReporter(cSink& sink, eStage stage) : sink_(sink), stage_(stage) {}

  cSink& Sink() const { return sink_; }
  eStage Stage() const { return stage_; }

  // One sLine (without the line end), formatted as Formatted does.
  template <class... Args>
  void Line(const wchar_t* format, Args... args) const {
    sink_.Report(sLine{stage_, Formatted(format, args...)});
  }
  // One sNote, the same way.
  template <class... Args>
  void Note(const wchar_t* format, Args... args) const {
    sink_.Report(sNote{stage_, Formatted(format, args...)});
  }
  // A failing step: its sLine, then its sFailure with the same text as step.
  template <class... Args>
  void Failure(const sFailureFacts& facts, const wchar_t* format, Args... args) const {
    Fail(facts, Formatted(format, args...));
  }
  void Progress(uint64_t acknowledged, uint64_t total) const;
  void Port(const std::wstring& name) const;

 private:
  void Fail(const sFailureFacts& facts, std::wstring step) const;

  cSink& sink_;
  eStage stage_;
};

}  // namespace report
