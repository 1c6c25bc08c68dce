// The stage sequence with its drop-offs and returns.
#include "tools/module_sim/module_run.h"

#include "tools/module_sim/stages.h"

namespace sim {

void cPresenceList::Attach(const std::filesystem::path& slavePath, eStage stage) {
  for (auto* member : members_) member->Attach(slavePath, stage);
}

void cPresenceList::Detach() {
  for (auto* member : members_) member->Detach();
}

namespace {

eStage NextStage(eStage stage) { return static_cast<eStage>(static_cast<int>(stage) + 1); }

void RunStage(eStage stage, sStageContext& context) {
  context.link.SetStage(stage);
  switch (stage) {
    case eStage::Diag:
      RunDiagStage(context);
      break;
    case eStage::Dl:
      RunDlStage(context);
      break;
    case eStage::Sdl:
      RunSdlStage(context);
      break;
  }
}

// A line hang-up first, then the traces in sysfs and /dev, as when a USB
// device disconnects.
void Disconnect(cPtyLink& link, cBusPresence& presence) {
  link.Close();
  presence.Detach();
}

void LeaveBus(const sTimingOptions& timing, cWaiter& waiter, cPtyLink& link, cBusPresence& presence) {
  waiter.SleepFor(std::chrono::milliseconds(timing.dropDelayMs));
  Disconnect(link, presence);
}

// Runs a stage to its end. A module that drops off in the middle of it comes
// back after the vanish offline time and serves the stage afresh; false when
// it stays away for good.
bool ServeStage(eStage stage, sStageContext& context, cWaiter& waiter, cBusPresence& presence) {
  for (;;) {
    try {
      RunStage(stage, context);
      return true;
    } catch (const sLeftBus&) {
      Disconnect(context.link, presence);
      const unsigned offlineMs = context.options.misbehaviour.vanishOfflineMs;
      if (offlineMs == 0) return false;
      waiter.SleepFor(std::chrono::milliseconds(offlineMs));
      presence.Attach(context.link.Open(), stage);
      ReportEvent(std::string("back on the bus in the ") + StageName(stage) + " stage (--vanish-offline)");
    }
  }
}

}  // namespace

void ServeUpgrade(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cResponder& responder,
                  cBusPresence& presence, sRunRecord& record, const std::function<void()>& onFirstAttach) {
  sStageContext context{link, responder, options, record};
  presence.Attach(link.Open(), options.startStage);
  onFirstAttach();
  for (eStage stage = options.startStage;; stage = NextStage(stage)) {
    record.stages.push_back(stage);
    if (!ServeStage(stage, context, waiter, presence)) {
      record.end = eRunEnd::NeverReturned;
      return;
    }
    LeaveBus(options.timing, waiter, link, presence);
    if (stage == eStage::Sdl) {
      record.end = eRunEnd::Reset;
      return;
    }
    if (options.misbehaviour.neverReturnAfter == stage) {
      ReportEvent(std::string("left the bus for good after the ") + StageName(stage) + " stage (--never-return-after)");
      record.end = eRunEnd::NeverReturned;
      return;
    }
    waiter.SleepFor(std::chrono::milliseconds(options.timing.offlineDelayMs));
    presence.Attach(link.Open(), NextStage(stage));
  }
}

}  // namespace sim
