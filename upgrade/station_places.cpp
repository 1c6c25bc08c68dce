// The states of a station's places (station_places.h).
#include "upgrade/station_places.h"

#include <algorithm>

std::vector<sStationEvent> cStationPlaces::Look(Clock::time_point now, const std::vector<host::sModulePort>& present) {
  for (auto& [name, place] : places_) {
    place.present = std::any_of(present.begin(), present.end(),
                                [&name](const host::sModulePort& port) { return port.place == name; });
    if (place.present) place.lastSeen = now;
  }
  std::vector<sStationEvent> events;
  Forget(now, events);
  Add(now, present, events);
  StartWaiting(events);
  looked_ = true;
  return events;
}

void cStationPlaces::Ended(const std::wstring& place, Clock::time_point now) {
  const auto found = places_.find(place);
  if (found == places_.end() || found->second.state != eState::Upgrading) return;
  found->second.state = eState::Done;
  found->second.lastSeen = std::max(found->second.lastSeen, now);
  --upgrading_;
}

// Places that are not upgrading and have had nothing at them for
// kGoneAfter become idle.
void cStationPlaces::Forget(Clock::time_point now, std::vector<sStationEvent>& events) {
  for (auto it = places_.begin(); it != places_.end();) {
    const sPlace& place = it->second;
    if (place.state == eState::Upgrading || place.present || now - place.lastSeen < kGoneAfter) {
      ++it;
      continue;
    }
    if (place.announced) events.push_back({eStationEvent::Unplugged, place.module});
    std::erase(waiting_, it->first);
    it = places_.erase(it);
  }
}

// Idle places that have a module now: the first port listed at each.
void cStationPlaces::Add(Clock::time_point now, const std::vector<host::sModulePort>& present,
                         std::vector<sStationEvent>& events) {
  for (const host::sModulePort& port : present) {
    if (places_.contains(port.place)) continue;
    const bool leftAlone = newOnly_ && !looked_;
    places_.emplace(port.place, sPlace{port, leftAlone ? eState::Done : eState::Waiting, now, true, !leftAlone});
    if (leftAlone) continue;
    events.push_back({eStationEvent::Plugged, port});
    waiting_.push_back(port.place);
  }
}

void cStationPlaces::StartWaiting(std::vector<sStationEvent>& events) {
  for (auto it = waiting_.begin(); it != waiting_.end() && (jobs_ == 0 || upgrading_ < jobs_);) {
    sPlace& place = places_.at(*it);
    if (!place.present) {
      ++it;
      continue;
    }
    place.state = eState::Upgrading;
    ++upgrading_;
    events.push_back({eStationEvent::Start, place.module});
    it = waiting_.erase(it);
  }
}
