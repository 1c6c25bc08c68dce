// The stage sequence with its drop-offs and returns.
#include "tools/module_sim/module_run.h"

#include <string>

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

// Back on the bus in stage on a fresh terminal. With --deny-open its node
// refuses opens for a while first, as a new node does until udev has given it
// its group (root without the file-permission capabilities is refused too).
void ComeBack(const sTimingOptions& timing, cWaiter& waiter, cPtyLink& link, cBusPresence& presence, eStage stage) {
  const std::filesystem::path slave = link.Open();
  if (timing.denyOpenMs == 0) {
    presence.Attach(slave, stage);
    return;
  }
  const std::filesystem::perms usual = std::filesystem::status(slave).permissions();
  std::filesystem::permissions(slave, std::filesystem::perms::none);
  presence.Attach(slave, stage);
  ReportEvent("port refuses opens for " + std::to_string(timing.denyOpenMs) + " ms (--deny-open)");
  waiter.SleepFor(std::chrono::milliseconds(timing.denyOpenMs));
  std::filesystem::permissions(slave, usual);
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
      ComeBack(context.options.timing, waiter, context.link, presence, stage);
      ReportEvent(std::string("back on the bus in the ") + StageName(stage) + " stage (--vanish-offline)");
    }
  }
}

}  // namespace

void ReturnAfterOffline(const sTimingOptions& timing, cWaiter& waiter, cPtyLink& link, cBusPresence& presence,
                        eStage stage) {
  waiter.SleepFor(std::chrono::milliseconds(timing.offlineDelayMs));
  ComeBack(timing, waiter, link, presence, stage);
}

void ServeUpgrade(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cResponder& responder,
                  cBusPresence& presence, sRunRecord& record, const std::function<void()>& onFirstAttach) {
  presence.Attach(link.Open(), options.startStage);
  onFirstAttach();
  ServeStages(options, waiter, link, responder, presence, record, options.startStage);
}

void ServeStages(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cResponder& responder,
                 cBusPresence& presence, sRunRecord& record, eStage from) {
  sStageContext context{link, responder, options, record};
  for (eStage stage = from;; stage = NextStage(stage)) {
    record.stages.push_back(stage);
    if (!ServeStage(stage, context, waiter, presence)) {
      record.end = eRunEnd::NeverReturned;
      return;
    }
    if (options.misbehaviour.stayAfter == stage) {
      ReportEvent(std::string("goes on from the ") + StageName(stage) +
                  " stage without leaving the bus (--stay-after)");
      continue;
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
    ReturnAfterOffline(options.timing, waiter, link, presence, NextStage(stage));
  }
}

void ServeIntruder(const sSimOptions& options, const cSimRoot& root, const sModulePlace& place, cWaiter& waiter,
                   sRunRecord& record) {
  const int freedIn = static_cast<int>(record.stages.back());
  sModulePlace other = place;
  for (int stage = 0; stage < 3; ++stage) {
    other.entries[stage] = place.entries[freedIn];
    other.locations[stage] = place.intruder;
  }
  other.peer.clear();
  // It answers nothing, so it only ends at the idle time-out or a signal,
  // however often the host lets go of it.
  sTimingOptions timing = options.timing;
  timing.hostGoneMs = 0;
  cPtyLink link(waiter, timing, {});
  link.RecordReadBytes(&record.intruderBytes);
  cUsbModule intruder(root, options.device, other, waiter, timing.idleTimeoutMs);
  intruder.Attach(link.Open(), eStage::Dl);
  ReportEvent("another module's downloader at " + place.intruder + " took the name " + place.entries[freedIn] +
              " (--intruder-at)");
  try {
    for (;;) link.NextPacket();
  } catch (const cRunEnded& ended) {
    ReportEvent(std::to_string(record.intruderBytes.size()) + " bytes were written to the other module (" +
                RunEndName(ended.Reason()) + ")");
  }
  link.Close();
}

}  // namespace sim
