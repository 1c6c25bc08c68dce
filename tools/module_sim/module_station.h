// A module that lives through one upgrade after another, as on a bench that
// upgrades whatever is plugged into it: it is plugged in and unplugged on
// command, comes back in its normal firmware after a reset when asked to,
// and keeps a timeline of its events with a record of each upgrade.
// Single-threaded: the module's process runs it.
#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tools/module_sim/module_record.h"
#include "tools/module_sim/pty_link.h"
#include "tools/module_sim/responder.h"
#include "tools/module_sim/sim_root.h"

namespace sim {

// The commands a module's process reads, one byte each, from its parent.
constexpr char kCommandPlug = 'p', kCommandUnplug = 'u';

// How the upgrades a module served ended.
struct sStationOutcome {
  unsigned upgrades = 0;  // those that received a request
  unsigned resets = 0;    // those that ended in the reset
  bool imagesMatch = true;
};

class cStation {
 public:
  // recordDir: where the timeline and the records go (empty: nowhere);
  // label names the module in its lines ("module 1-3: ", or empty).
  cStation(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cBusPresence& presence,
           const std::filesystem::path& recordDir, const std::string& label);

  // Serves the module until a stop signal, the end of commands (its parent
  // has gone), or, unless the simulator runs until told to end, a time-out
  // in its normal firmware or its leaving the bus for good. commands is a
  // non-blocking descriptor of kCommandPlug and kCommandUnplug bytes; every
  // wait watches it. The module starts on the bus in the start stage, or
  // off it until a plug command; each later plug brings it back in its
  // normal firmware. onReady runs once: when the module is first on the
  // bus, or at once when it starts unplugged.
  sStationOutcome Run(int commands, bool startsUnplugged, const std::function<void()>& onReady);

 private:
  void OnCommand(int commands);
  void WaitForPlug();
  // Serves upgrades while the module is plugged in; false when the run is
  // over, true when the module left the bus and waits to be plugged again.
  bool ServeWhilePlugged(eStage stage, const std::function<void()>& onReady);
  // After a time-out: false when the run is over.
  bool AfterTimeOut(eRunEnd end);
  void TakeOffBus();
  void EndUpgrade(eRunEnd end);
  void NewUpgrade();

  const sSimOptions& options_;
  cWaiter& waiter_;
  cPtyLink& link_;
  cBusPresence& presence_;
  std::filesystem::path recordDir_;
  std::string label_;
  cTimeline timeline_;
  sRunRecord record_;
  std::optional<cResponder> responder_;
  sStationOutcome outcome_;
  bool plugged_ = false;
  bool readied_ = false;
};

}  // namespace sim
