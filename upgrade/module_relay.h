// What the upgrade of every module at once and the station mode share: the
// instance a module's upgrade runs in, and the relay of that instance's JSON
// events as console lines prefixed with the module's port (or, with --json,
// as JSON lines that name it), with one progress line per module on a
// terminal's standard error.
//
// Threads: main thread only.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/com_port_interfaces.h"
#include "platform/child_process.h"
#include "upgrade/json_view.h"
#include "upgrade/transfer_progress.h"

// An instance prints a line at least at every step of its upgrade; the
// longest step it takes without one (an exchange's attempts, a wait for the
// module's return, a protocol server's shutdown) is well under a minute.
// One that stays silent for twice that has hung.
inline constexpr std::chrono::milliseconds kInstanceSilenceLimit = std::chrono::minutes(2);

// The module's instance: --port, --json, and its own trace file
// ("<trace>.ttyUSB2") when ZNTV_TRACE asks for one.
platform::sInstance InstanceFor(const host::sModulePort& module);

// One status line per module whose image streaming has begun (as the
// console view of a single upgrade, the programmer's load gets none), on
// standard error while it is a terminal: its port, how far the stream has
// got, rate and time left. Plain lines on a terminal without cursor control.
class cModulesProgress {
 public:
  cModulesProgress();
  ~cModulesProgress();
  cModulesProgress(const cModulesProgress&) = delete;
  cModulesProgress& operator=(const cModulesProgress&) = delete;

  // A module's line, named after its port; modules are numbered in the
  // order they are added (0, 1, ...).
  void Add(const std::wstring& name);
  // Nothing for a module dropped.
  void Advance(size_t module, uint64_t acknowledged, uint64_t total);
  // The module's line goes away at once, and the module is forgotten.
  void Drop(size_t module);

 private:
  struct sModule {
    std::wstring name;
    std::optional<cTransferMeter> meter;
    uint64_t total = 0;
    uint32_t startMs = 0;
    std::wstring line;  // shown now; empty: its transfer has not begun
  };

  std::wstring AllLines() const;
  void Show(const std::wstring& changed);

  platform::eStatusStyle style_;
  size_t added_ = 0;
  std::map<size_t, sModule> modules_;  // not yet dropped, in the order added
  bool shown_ = false;
};

// Relays the lines of module instances, numbered as the instance runner
// numbers them, and tells which ones upgraded their module. A module is kept
// until it is forgotten, which the station does as each upgrade ends.
class cModuleRelay {
 public:
  // json: the --json view; none: console lines. startTick: when the run
  // started (platform::GetTickCount32), for the time of a plain line.
  cModuleRelay(cJsonLinesView* json, uint32_t startTick) : json_(json), startTick_(startTick) {}

  // The next instance is the module at port.
  void Add(const std::wstring& port);
  // One line of an instance, as the runner hands it on.
  void Relay(size_t instance, platform::eChildStream stream, std::string_view line);
  // Says on standard error why an instance was given up on (it could not be
  // started, or went silent), if it was.
  void TellGivenUp(size_t instance, const platform::sInstanceEnd& end) const;
  // A module is upgraded when its instance said so and exited with success.
  bool Upgraded(size_t instance, const platform::sInstanceEnd& end) const;
  // The module's progress line goes away, and the relay forgets it: its
  // instance has ended and been told of.
  void Forget(size_t instance);
  // Every progress line goes away, before a summary.
  void EndProgress() { progress_.reset(); }

 private:
  cJsonLinesView* json_;
  uint32_t startTick_;
  struct sModule {
    std::wstring port;
    bool reported = false;  // "Upgraded in" seen
  };

  size_t added_ = 0;
  std::unordered_map<size_t, sModule> modules_;  // not yet forgotten
  std::optional<cModulesProgress> progress_{std::in_place};
};

// "Upgraded N of M modules", as a line event and a summary event with --json.
void ReportModulesSummary(unsigned upgraded, unsigned modules, cJsonLinesView* json);
