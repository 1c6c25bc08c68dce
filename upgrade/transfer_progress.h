// How far a long transfer has got, as the console view shows it from the
// run's progress events: a status line on standard error with the bytes
// acknowledged of the total, the percentage, the average rate and the time
// left, redrawn at most ten times a second; on a terminal without cursor
// control a plain percentage line at most once a second instead. Nothing at
// all when standard error cannot show a status line (platform/console.h).
//
// Threads: the thread the events are reported on (the main thread).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/console.h"

// The text of the status line for one transfer and when it is due: a record
// of what was shown, fed with the bytes done and the time.
class cTransferMeter {
 public:
  static constexpr uint32_t kRedrawnEveryMs = 100;
  static constexpr uint32_t kPlainLineEveryMs = 1000;

  // what: the transfer's name at the start of the line (e.g. "SDL write");
  // startMs: when the transfer started, on the clock that Update is given.
  cTransferMeter(std::wstring what, uint64_t totalBytes, platform::eStatusStyle style, uint32_t startMs);

  // The line to show for doneBytes at nowMs, or nothing when the last line
  // is too recent (or, for plain lines, says the same percentage).
  std::optional<std::wstring> Update(uint64_t doneBytes, uint32_t nowMs);

 private:
  std::wstring RedrawnLine(uint64_t doneBytes, uint32_t nowMs, uint32_t percent) const;

  std::wstring what_;
  uint64_t total_;
  platform::eStatusStyle style_;
  uint32_t startMs_;
  std::optional<uint32_t> lastShownMs_;
  std::optional<uint32_t> lastPercent_;
};

// A transfer's status line on this process's standard error, from
// construction (the transfer's start, from which the rate is measured) until
// destruction, which erases it for good.
class cTransferProgress {
 public:
  cTransferProgress(std::wstring what, uint64_t totalBytes);
  ~cTransferProgress();
  cTransferProgress(const cTransferProgress&) = delete;
  cTransferProgress& operator=(const cTransferProgress&) = delete;

  // doneBytes of the total are acknowledged now.
  void Advance(uint64_t doneBytes);

 private:
  std::optional<cTransferMeter> meter_;  // none: the status line is not shown
};
