// The run as JSON Lines on standard output (--json), for programs that drive
// the updater: every event one JSON object on a line of its own, written and
// flushed as it happens. Standard error keeps its human notes.
//
// Each object has "v" (1), "event", "t" (milliseconds since the run started,
// monotonic), "port" once the run has one (the latest port event's name),
// "stage" where the event belongs to one, and the event's own fields:
//   line      "text": one line of the console transcript, exactly
//   note      "text": a note or hint, as standard error shows it
//   port      the module's port from now on
//   progress  "acknowledged", "total": bytes of a transfer
//   failure   "step", and "address", "sequence", "error" where known
//   outcome   "upgraded", "ms"
//   module    (--list) "port", "identity", "location", "configuration"
//   summary   (--all, --watch) "upgraded", "modules"
//   plugged, unplugged  (--watch) "port", "location": a module at a place
//             that was idle, and the place idle again
// docs/events.schema.json describes them. Text is UTF-8; control characters
// are escaped by JSON's rules.
//
// Progress events are paced to at most one per kProgressEveryMs, but for the
// last one of a transfer (all acknowledged), which always goes out; one that
// was held back is written before the failure or outcome that ends its
// transfer, so every transfer's last state is told.
//
// Threads: a view belongs to the thread that reports to it (the main thread).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "report/events.h"

// The "v" of every event this program writes, and of those --all relays.
inline constexpr int kEventSchemaVersion = 1;

// A module --list shows.
struct sListedModule {
  std::wstring port;
  std::wstring identity;
  std::wstring location;
  std::wstring configuration;  // the installed configuration's name; empty when unknown
};

class cJsonLinesView : public report::cSink {
 public:
  static constexpr uint64_t kProgressEveryMs = 100;

  // Takes one JSON object (UTF-8, without its line end) and writes it out
  // as one line at once.
  using LineWriter = std::function<void(std::string_view json)>;
  // Milliseconds since the run started.
  using Clock = std::function<uint64_t()>;

  // Standard output, timed from startTick (platform::GetTickCount32). Notes
  // are also handed to humanNotes when given (the console view, which shows
  // them on standard error).
  cJsonLinesView(uint32_t startTick, report::cSink* humanNotes);
  // For tests: any writer and clock.
  cJsonLinesView(LineWriter write, Clock clock, report::cSink* humanNotes = nullptr);
  ~cJsonLinesView() override;
  cJsonLinesView(const cJsonLinesView&) = delete;
  cJsonLinesView& operator=(const cJsonLinesView&) = delete;

  void Report(const report::Event& event) override;
  void ReportModule(const sListedModule& module);
  void ReportSummary(unsigned upgraded, unsigned modules);
  void ReportPlugged(const std::wstring& port, const std::wstring& location);
  void ReportUnplugged(const std::wstring& port, const std::wstring& location);

 private:
  struct sHeldProgress {
    report::sProgress progress;
    uint64_t t;
  };

  void On(const report::sLine& line);
  void On(const report::sNote& note);
  void On(const report::sPort& port);
  void On(const report::sProgress& progress);
  void On(const report::sFailure& failure);
  void On(const report::sOutcome& outcome);
  void WriteProgress(const report::sProgress& progress, uint64_t t);
  void WriteHeldProgress();
  void WritePlace(const char* event, const std::wstring& port, const std::wstring& location);

  LineWriter write_;
  Clock clock_;
  report::cSink* humanNotes_;
  std::wstring port_;
  std::optional<uint64_t> lastProgressT_;
  std::optional<sHeldProgress> held_;
};

// Writes one JSON object as a line of standard output, at once.
void WriteJsonLine(std::string_view json);
