// One upgrade as the module lives it: come onto the bus in the start stage,
// serve it, leave the bus, come back in the next stage after the offline
// delay, until the programmer resets. Single-threaded.
//
// Errors: the simulator reports them with exceptions, its one style. A
// failure to set up or to keep up the module's world (a file, a link, the
// pseudo-terminal, a process) throws std::runtime_error with its reason in
// words, which main prints as "zntv-module-sim: <reason>" before it exits
// with its set-up status; the end of a run from inside a stage or by a stop
// signal throws sim::cRunEnded (sim_waiter.h), which the run catches to write
// its records. A refused command line is no failure of the simulator: the
// option reader answers with what was wrong in words (sParseResult), printed
// as it is.
#pragma once
#include <functional>
#include <vector>

#include "tools/module_sim/module_record.h"
#include "tools/module_sim/pty_link.h"
#include "tools/module_sim/responder.h"
#include "tools/module_sim/sim_root.h"

namespace sim {

// Shows the module on several buses at once (the sysfs tree, a Wine prefix).
class cPresenceList final : public cBusPresence {
 public:
  void Add(cBusPresence& presence) { members_.push_back(&presence); }
  void Attach(const std::filesystem::path& slavePath, eStage stage) override;
  void Detach() override;

 private:
  std::vector<cBusPresence*> members_;
};

// Returns after the reset, with record.end set to Reset or NeverReturned;
// throws cRunEnded for the other ends. onFirstAttach runs once the module is
// first visible (to announce where it is).
void ServeUpgrade(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cResponder& responder,
                  cBusPresence& presence, sRunRecord& record, const std::function<void()>& onFirstAttach);

// The rest of an upgrade, the module on the bus in stage from: as
// ServeUpgrade after its first attach.
void ServeStages(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cResponder& responder,
                 cBusPresence& presence, sRunRecord& record, eStage from);

// Off the bus for the offline delay, then back on it in stage on a fresh
// terminal (with a new device number).
void ReturnAfterOffline(const sTimingOptions& timing, cWaiter& waiter, cPtyLink& link, cBusPresence& presence,
                        eStage stage);

// After the module at place left the bus for good: another module's boot
// downloader comes onto the bus at place.intruder under the tty name the
// module last had, answers nothing and keeps every byte written to it in
// record.intruderBytes, until the idle time-out or a stop signal.
void ServeIntruder(const sSimOptions& options, const cSimRoot& root, const sModulePlace& place, cWaiter& waiter,
                   sRunRecord& record);

}  // namespace sim
