// The stage sequence with its drop-offs and returns.
#include "tools/module_sim/module_run.h"

#include "tools/module_sim/stages.h"

namespace sim {

void cPresenceList::Attach(const std::filesystem::path& slavePath) {
  for (auto* member : members_) member->Attach(slavePath);
}

void cPresenceList::Detach() {
  for (auto* member : members_) member->Detach();
}

namespace {

void RunStage(eStage stage, sStageContext& context) {
  switch (stage) {
    case eStage::Diag: RunDiagStage(context); break;
    case eStage::Dl: RunDlStage(context); break;
    case eStage::Sdl: RunSdlStage(context); break;
  }
}

// A line hang-up first, then the traces in sysfs and /dev, as when a USB
// device disconnects.
void LeaveBus(const sTimingOptions& timing, cWaiter& waiter, cPtyLink& link, cBusPresence& presence) {
  waiter.SleepFor(std::chrono::milliseconds(timing.dropDelayMs));
  link.Close();
  presence.Detach();
}

}  // namespace

void ServeUpgrade(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cResponder& responder,
                  cBusPresence& presence, sRunRecord& record, const std::function<void()>& onFirstAttach) {
  sStageContext context{link, responder, options, record};
  presence.Attach(link.Open());
  onFirstAttach();
  for (eStage stage = options.startStage;; stage = static_cast<eStage>(static_cast<int>(stage) + 1)) {
    record.stages.push_back(stage);
    RunStage(stage, context);
    LeaveBus(options.timing, waiter, link, presence);
    if (stage == eStage::Sdl) {
      record.end = eRunEnd::Reset;
      return;
    }
    if (options.misbehaviour.neverReturnAfter == stage) {
      record.end = eRunEnd::NeverReturned;
      return;
    }
    waiter.SleepFor(std::chrono::milliseconds(options.timing.offlineDelayMs));
    presence.Attach(link.Open());
  }
}

}  // namespace sim
