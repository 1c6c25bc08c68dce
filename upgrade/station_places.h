// The places of a station (--watch): where modules are plugged in, each with
// its state, so that each module plugged in is upgraded once. A place is
// idle (absent from the map), waiting for a job slot, upgrading, or done
// (upgraded or failed). A done place becomes idle again only once nothing
// has been at it for kGoneAfter: a module that comes back in its normal
// firmware after its reset, or that a failed upgrade left in its
// downloader, is not upgraded again until it is unplugged. While a place
// upgrades, its module may be off the bus between phases: that is no
// unplugging. Driven by the caller's clock and listings only, so that any
// clock can drive it.
//
// Threads: one thread (the main thread in the program).
#pragma once
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "host/com_port_interfaces.h"

enum class eStationEvent {
  Plugged,    // a module appeared at an idle place
  Unplugged,  // the place became idle again
  Start,      // the place's upgrade starts now
};

struct sStationEvent {
  eStationEvent kind;
  host::sModulePort module;  // as first seen at the place
};

class cStationPlaces {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kGoneAfter{2000};

  // jobs: the most upgrades at once, 0 for no cap. newOnly: the modules
  // present at the first look are left alone (their places are done).
  cStationPlaces(size_t jobs, bool newOnly) : jobs_(jobs), newOnly_(newOnly) {}

  // One look, at now, at the configured ports present (any number per
  // place): the places that became idle, then those that got a module (in
  // the listing's order), then the upgrades that start, places waiting for
  // a slot first in the order they were plugged in (only while their module
  // is present).
  std::vector<sStationEvent> Look(Clock::time_point now, const std::vector<host::sModulePort>& present);
  // The upgrade at place, which a Start began, has ended at now: the place
  // is done, and counts as seen then.
  void Ended(const std::wstring& place, Clock::time_point now);
  // Places upgrading now.
  size_t Upgrading() const { return upgrading_; }

 private:
  enum class eState { Waiting, Upgrading, Done };
  struct sPlace {
    host::sModulePort module;
    eState state;
    Clock::time_point lastSeen;
    bool present;
    bool announced;  // a Plugged was given, so an Unplugged is due
  };

  void Forget(Clock::time_point now, std::vector<sStationEvent>& events);
  void Add(Clock::time_point now, const std::vector<host::sModulePort>& present, std::vector<sStationEvent>& events);
  void StartWaiting(std::vector<sStationEvent>& events);

  size_t jobs_;
  bool newOnly_;
  bool looked_ = false;
  size_t upgrading_ = 0;
  std::map<std::wstring, sPlace> places_;
  std::deque<std::wstring> waiting_;  // in the order they were plugged in
};
