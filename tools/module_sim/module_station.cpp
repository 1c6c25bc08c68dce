// The module's life on and off the bus across upgrades, driven by commands
// from its parent process.
#include "tools/module_sim/module_station.h"

#include <unistd.h>

#include <cstdio>

#include "tools/module_sim/module_run.h"

namespace sim {

namespace {

// Thrown out of the wait for a plug command when it comes.
struct sPlugged {};

}  // namespace

cStation::cStation(const sSimOptions& options, cWaiter& waiter, cPtyLink& link, cBusPresence& presence,
                   const std::filesystem::path& recordDir, const std::string& label)
    : options_(options),
      waiter_(waiter),
      link_(link),
      presence_(presence),
      recordDir_(recordDir),
      label_(label),
      timeline_(recordDir) {}

// One byte at a time, so that a command behind the one that ends a wait
// stays for the next wait.
void cStation::OnCommand(int commands) {
  char command = 0;
  const ssize_t got = read(commands, &command, 1);
  if (got == 0) throw cRunEnded(eRunEnd::Signal);
  if (got < 0) return;  // taken already (EAGAIN) or interrupted: wait on
  if (command == kCommandUnplug && plugged_) throw cRunEnded(eRunEnd::Unplugged);
  if (command == kCommandPlug && !plugged_) throw sPlugged{};
}

void cStation::WaitForPlug() {
  try {
    for (;;) waiter_.SleepUntil(Deadline::max());
  } catch (const sPlugged&) {
  }
}

sStationOutcome cStation::Run(int commands, bool startsUnplugged, const std::function<void()>& onReady) {
  waiter_.AlsoWatch(commands, [this, commands] { OnCommand(commands); });
  eStage stage = options_.startStage;
  if (startsUnplugged) {
    readied_ = true;
    onReady();
  }
  bool waitForPlug = startsUnplugged;
  for (;;) {
    try {
      if (waitForPlug) WaitForPlug();
      if (!ServeWhilePlugged(stage, onReady)) break;
    } catch (const cRunEnded& ended) {
      const bool wasPlugged = plugged_;
      plugged_ = false;
      TakeOffBus();
      if (!record_.requests.empty()) EndUpgrade(ended.Reason());
      if (wasPlugged) timeline_.Note("unplugged");
      if (ended.Reason() != eRunEnd::Unplugged) {
        ReportEvent(std::string("run ends: ") + RunEndName(ended.Reason()));
        break;
      }
      ReportEvent("unplugged");
    }
    waitForPlug = true;
    stage = eStage::Diag;
  }
  return outcome_;
}

bool cStation::ServeWhilePlugged(eStage stage, const std::function<void()>& onReady) {
  NewUpgrade();
  plugged_ = true;
  presence_.Attach(link_.Open(), stage);
  timeline_.Note("plugged");
  ReportEvent(std::string("plugged in, in the ") + StageName(stage) + " stage");
  if (!readied_) {
    readied_ = true;
    onReady();
  }
  for (eStage from = stage;;) {
    try {
      ServeStages(options_, waiter_, link_, *responder_, presence_, record_, from);
    } catch (const cRunEnded& ended) {
      if (ended.Reason() != eRunEnd::IdleTimeout && ended.Reason() != eRunEnd::HostGone) throw;
      if (!AfterTimeOut(ended.Reason())) return false;
      from = link_.Stage();
      continue;
    }
    const eRunEnd end = record_.end;
    EndUpgrade(end);
    if (end != eRunEnd::Reset || !options_.station.returnAfterReset) break;
    ReturnAfterOffline(options_.timing, waiter_, link_, presence_, eStage::Diag);
    timeline_.Note("back-normal");
    ReportEvent("back on the bus in the normal firmware (--return-after-reset)");
    from = eStage::Diag;
  }
  plugged_ = false;
  return RunsUntilTold(options_);
}

// A time-out ends an upgrade under way as failed; the module stays where it
// is for the next. In the normal firmware with no upgrade under way it ends
// the run only when the simulator does not run until told to end.
bool cStation::AfterTimeOut(eRunEnd end) {
  const bool underWay = !record_.requests.empty();
  if (!underWay && !RunsUntilTold(options_)) {
    TakeOffBus();
    plugged_ = false;
    timeline_.Note("unplugged");
    ReportEvent(std::string("run ends: ") + RunEndName(end));
    return false;
  }
  if (underWay) {
    EndUpgrade(end);
  } else {
    NewUpgrade();
  }
  link_.ForgetHost();
  return true;
}

void cStation::TakeOffBus() {
  link_.Close();
  presence_.Detach();
}

// The upgrade's records carry its number from the second on, and are in
// place before its end is noted; an upgrade that ended in its reset has its
// flash compared when asked.
void cStation::EndUpgrade(eRunEnd end) {
  record_.end = end;
  const unsigned number = ++outcome_.upgrades;
  ReportEvent("upgrade " + std::to_string(number) + " ends: " + RunEndName(end));
  if (!recordDir_.empty()) WriteRecords(record_, recordDir_, number == 1 ? "" : "." + std::to_string(number));
  if (end == eRunEnd::Reset) {
    ++outcome_.resets;
    if (!options_.record.expectImage.empty()) {
      outcome_.imagesMatch &=
          VerifyFlash(record_, options_.sdl.baseAddress, options_.record.expectImage, label_, stdout);
    }
    timeline_.Note("reset");
  } else if (end != eRunEnd::Unplugged && end != eRunEnd::Signal) {
    timeline_.Note("failed");
  }
  NewUpgrade();
}

void cStation::NewUpgrade() {
  record_ = sRunRecord{};
  responder_.emplace(link_, options_.misbehaviour, record_, options_.record.verbose);
  responder_->WhenFirstRequested([this](eStage stage) {
    if (stage == eStage::Diag) timeline_.Note("upgrade-start");
  });
}

}  // namespace sim
