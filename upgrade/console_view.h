// The console as a view of a run's events: its lines on standard output, its
// notes on standard error, and the image's streaming as the status line on
// standard error (upgrade/transfer_progress.h). The phases and the discovery
// report events and print nothing; this is where the console's text comes
// from, the same text, byte for byte, on both streams.
//
// Threads: the sink's (main) thread, one event at a time.
#pragma once
#include <optional>

#include "report/events.h"
#include "upgrade/transfer_progress.h"

class cConsoleView : public report::cSink {
 public:
  cConsoleView() = default;
  // Erases a status line still shown.
  ~cConsoleView() override;
  cConsoleView(const cConsoleView&) = delete;
  cConsoleView& operator=(const cConsoleView&) = delete;

  // sLine: a line on standard output. sNote: a line on standard error.
  // sProgress: the status line of the image's streaming; its first event
  // starts the line's clock, each acknowledgement may redraw it. A transfer
  // that is over (all acknowledged, or its stage failed) keeps its line until
  // the next line on standard output, the outcome or the next transfer, as
  // the streaming kept it until the phase went on. sPort and sFailure print
  // nothing of their own: their lines come as sLine and sNote.
  void Report(const report::Event& event) override;

 private:
  void Show(const report::sLine& line);
  void Show(const report::sNote& note);
  void Show(const report::sPort& port);
  void Show(const report::sProgress& progress);
  void Show(const report::sFailure& failure);
  void Show(const report::sOutcome& outcome);
  void EndTransfer();

  std::optional<cTransferProgress> transfer_;  // the status line shown, if any
  bool transferOver_ = false;
};
