// One upgrade as the module lives it: come onto the bus in the start stage,
// serve it, leave the bus, come back in the next stage after the offline
// delay, until the programmer resets. Single-threaded.
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

// After the module at place left the bus for good: another module's boot
// downloader comes onto the bus at place.intruder under the tty name the
// module last had, answers nothing and keeps every byte written to it in
// record.intruderBytes, until the idle time-out or a stop signal.
void ServeIntruder(const sSimOptions& options, const cSimRoot& root, const sModulePlace& place, cWaiter& waiter,
                   sRunRecord& record);

}  // namespace sim
