// The station's loop: a look at the host's configured ports on a timer,
// short enough that a module is seen well within half a second of its
// arrival, and in between a wait for the instances' lines, their ends and
// stop requests, with nothing to do while no module comes.
#include "upgrade/station.h"

#include <chrono>
#include <string>
#include <unordered_map>

#include "host/device_lookup.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/stop_requests.h"
#include "upgrade/module_relay.h"
#include "upgrade/station_places.h"

namespace {

using Clock = cStationPlaces::Clock;

constexpr std::chrono::milliseconds kLookEvery{200};

class cStation {
 public:
  cStation(const sStationOptions& options, cJsonLinesView* json)
      : json_(json),
        places_(options.jobs, options.newOnly),
        relay_(json, platform::GetTickCount32()),
        runner_([this](size_t instance, platform::eChildStream stream,
                       std::string_view line) { relay_.Relay(instance, stream, line); },
                [this](size_t instance, const platform::sInstanceEnd& end) { OnEnd(instance, end); },
                kInstanceSilenceLimit) {}

  // Until the first stop request, then until the upgrades in progress end.
  void Run() {
    bool stopping = false;
    Clock::time_point nextLook = Clock::now();
    while (!stopping || runner_.Running() > 0) {
      if (!stopping && Clock::now() >= nextLook) {
        Look();
        nextLook = Clock::now() + kLookEvery;
      }
      const platform::eRelayWake wake = runner_.RelayUntil(stopping ? Clock::time_point::max() : nextLook);
      if (wake == platform::eRelayWake::StopRequest && !stopping) {
        stopping = true;
        TellStopping();
      }
      // An upgrade's slot is free: a place waiting for one starts at once.
      if (wake == platform::eRelayWake::Ended) nextLook = Clock::now();
    }
    relay_.EndProgress();
  }

  unsigned Started() const { return started_; }
  unsigned Upgraded() const { return upgraded_; }

 private:
  // The first look is the start: from then on a module plugged in is new,
  // which standard error says, for a person and for a program that plugs.
  void Look() {
    for (const sStationEvent& event : places_.Look(Clock::now(), host::ListDeviceModules())) Act(event);
    if (looked_) return;
    looked_ = true;
    platform::ConsoleExplain(L"zntv-upgrade: watching for modules; an interrupt stops the watch\n");
  }

  void TellStopping() const {
    if (runner_.Running() == 0) return;
    platform::ConsoleExplain(L"zntv-upgrade: no new module is taken; the upgrades in progress (%u) end first\n",
                             static_cast<unsigned>(runner_.Running()));
  }

  void Act(const sStationEvent& event) {
    const host::sModulePort& module = event.module;
    switch (event.kind) {
      case eStationEvent::Plugged:
        if (json_ != nullptr) return json_->ReportPlugged(module.portName, module.location);
        return platform::ConsolePrint(L"%ls: plugged\n", module.portName.c_str());
      case eStationEvent::Unplugged:
        if (json_ != nullptr) return json_->ReportUnplugged(module.portName, module.location);
        return platform::ConsolePrint(L"%ls: unplugged\n", module.portName.c_str());
      case eStationEvent::Start:
        if (json_ == nullptr) platform::ConsolePrint(L"%ls: upgrading\n", module.portName.c_str());
        // The runner numbers its instances in the order they are started, and
        // hands on the end of one that cannot start before Start returns.
        instancePlaces_[started_++] = module.place;
        relay_.Add(module.portName);
        (void)runner_.Start(InstanceFor(module));
        return;
    }
  }

  void OnEnd(size_t instance, const platform::sInstanceEnd& end) {
    relay_.TellGivenUp(instance, end);
    upgraded_ += relay_.Upgraded(instance, end) ? 1 : 0;
    relay_.Forget(instance);
    places_.Ended(instancePlaces_.at(instance), Clock::now());
    instancePlaces_.erase(instance);
    if (json_ != nullptr) json_->ReportSummary(upgraded_, started_);
  }

  cJsonLinesView* json_;
  cStationPlaces places_;
  cModuleRelay relay_;
  std::unordered_map<size_t, std::wstring> instancePlaces_;  // each running instance's place
  bool looked_ = false;
  unsigned started_ = 0;
  unsigned upgraded_ = 0;
  platform::cInstanceRunner runner_;
};

}  // namespace

bool WatchStation(const sStationOptions& options, cJsonLinesView* json) {
  platform::PassStopRequestsOn();
  cStation station(options, json);
  station.Run();
  ReportModulesSummary(station.Upgraded(), station.Started(), json);
  return station.Upgraded() == station.Started();
}
