// The station's places driven by a fake clock and made-up listings: when a
// module is upgraded, when it is not upgraded again, and in which order
// places wait for a job slot.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "upgrade/station_places.h"

namespace {

using Clock = cStationPlaces::Clock;
using std::chrono::milliseconds;

// "plugged A" / "unplugged A" / "start A" for a module at place A with port
// /dev/A.
std::vector<std::string> Said(const std::vector<sStationEvent>& events) {
  std::vector<std::string> said;
  for (const sStationEvent& event : events) {
    const char* kind = event.kind == eStationEvent::Plugged     ? "plugged "
                       : event.kind == eStationEvent::Unplugged ? "unplugged "
                                                                : "start ";
    said.push_back(kind + std::string(event.module.place.begin(), event.module.place.end()));
  }
  return said;
}

host::sModulePort At(const wchar_t* place, const wchar_t* port = nullptr) {
  return {port != nullptr ? port : std::wstring(L"/dev/") + place, L"vid_0a1b&pid_2c3d&mi_02", place, place, L""};
}

// A station whose clock the test moves on.
class Station {
 public:
  explicit Station(size_t jobs = 0, bool newOnly = false) : places_(jobs, newOnly) {}

  std::vector<std::string> LookAt(int ms, const std::vector<host::sModulePort>& present) {
    return Said(places_.Look(Time(ms), present));
  }
  // Looks from `from` to before `to`, every 200 ms, all it says.
  std::vector<std::string> LookEvery200Ms(int from, int to, const std::vector<host::sModulePort>& present) {
    std::vector<std::string> said;
    for (int ms = from; ms < to; ms += 200) {
      const std::vector<std::string> now = LookAt(ms, present);
      said.insert(said.end(), now.begin(), now.end());
    }
    return said;
  }
  void Ended(const wchar_t* place, int ms) { places_.Ended(place, Time(ms)); }
  size_t Upgrading() const { return places_.Upgrading(); }

 private:
  static Clock::time_point Time(int ms) { return Clock::time_point{} + milliseconds(ms); }
  cStationPlaces places_;
};

using Lines = std::vector<std::string>;

TEST(StationPlaces, ModulePluggedInIsUpgradedOnceWhileItStays) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {}), Lines{});
  EXPECT_EQ(station.LookAt(200, {At(L"A")}), (Lines{"plugged A", "start A"}));
  EXPECT_EQ(station.LookAt(400, {At(L"A")}), Lines{});
  station.Ended(L"A", 500);
  EXPECT_EQ(station.LookEvery200Ms(600, 20000, {At(L"A")}), Lines{});
}

TEST(StationPlaces, OffTheBusBetweenPhasesIsNoUnplugging) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {At(L"A")}), (Lines{"plugged A", "start A"}));
  // Ten seconds without a configured port at its place while it upgrades.
  EXPECT_EQ(station.LookEvery200Ms(200, 10200, {}), Lines{});
  EXPECT_EQ(station.LookAt(10200, {At(L"A", L"/dev/B")}), Lines{});
  station.Ended(L"A", 10300);
  EXPECT_EQ(station.LookAt(10400, {}), Lines{});
}

TEST(StationPlaces, ReplugAfterTwoSecondsGivesASecondUpgrade) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {At(L"A")}), (Lines{"plugged A", "start A"}));
  station.Ended(L"A", 5000);
  EXPECT_EQ(station.LookAt(5200, {}), Lines{});
  EXPECT_EQ(station.LookAt(6999, {}), Lines{});
  EXPECT_EQ(station.LookAt(7000, {}), Lines{"unplugged A"});
  EXPECT_EQ(station.LookAt(7200, {At(L"A")}), (Lines{"plugged A", "start A"}));
}

TEST(StationPlaces, ReturnWithinTwoSecondsIsNotUpgradedAgain) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {At(L"A")}), (Lines{"plugged A", "start A"}));
  station.Ended(L"A", 5000);
  // Gone after its reset, back in its normal firmware 1.8 s after the end.
  EXPECT_EQ(station.LookEvery200Ms(5200, 6800, {}), Lines{});
  EXPECT_EQ(station.LookEvery200Ms(6800, 9000, {At(L"A", L"/dev/other")}), Lines{});
  // Unplugged and plugged back 1.8 s after it was last seen: still the same
  // plug-in.
  EXPECT_EQ(station.LookEvery200Ms(9000, 10600, {}), Lines{});
  EXPECT_EQ(station.LookEvery200Ms(10600, 20000, {At(L"A")}), Lines{});
}

TEST(StationPlaces, FailedUpgradeStaysDoneUntilAbsentTwoSeconds) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {At(L"A")}), (Lines{"plugged A", "start A"}));
  // Left in its downloader, which is listed at its place.
  station.Ended(L"A", 3000);
  EXPECT_EQ(station.LookEvery200Ms(3200, 30000, {At(L"A")}), Lines{});
  // Last seen at 29800.
  EXPECT_EQ(station.LookEvery200Ms(30000, 31800, {}), Lines{});
  EXPECT_EQ(station.LookAt(31800, {}), Lines{"unplugged A"});
  EXPECT_EQ(station.LookAt(32000, {At(L"A")}), (Lines{"plugged A", "start A"}));
}

TEST(StationPlaces, AbsenceCountsFromTheEndOfTheUpgrade) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {At(L"A")}), (Lines{"plugged A", "start A"}));
  EXPECT_EQ(station.LookAt(200, {}), Lines{});
  station.Ended(L"A", 8000);
  EXPECT_EQ(station.LookAt(9800, {}), Lines{});
  EXPECT_EQ(station.LookAt(10000, {}), Lines{"unplugged A"});
}

TEST(StationPlaces, ModulesPresentAtTheStartAreUpgradedUnlessNewOnly) {
  Station every;
  EXPECT_EQ(every.LookAt(0, {At(L"A"), At(L"B")}), (Lines{"plugged A", "plugged B", "start A", "start B"}));
  Station newOnly(0, true);
  EXPECT_EQ(newOnly.LookAt(0, {At(L"A")}), Lines{});
  EXPECT_EQ(newOnly.LookAt(200, {At(L"A"), At(L"B")}), (Lines{"plugged B", "start B"}));
  // The one left alone leaves without a word, and is new when it comes back.
  EXPECT_EQ(newOnly.LookAt(400, {At(L"B")}), Lines{});
  EXPECT_EQ(newOnly.LookAt(2400, {At(L"B")}), Lines{});
  EXPECT_EQ(newOnly.LookAt(2600, {At(L"A"), At(L"B")}), (Lines{"plugged A", "start A"}));
}

TEST(StationPlaces, TwoPortsAtOnePlaceAreOneModule) {
  Station station;
  EXPECT_EQ(station.LookAt(0, {At(L"A", L"/dev/ttyUSB2"), At(L"A", L"/dev/ttyUSB3")}), (Lines{"plugged A", "start A"}));
}

TEST(StationPlaces, OverTheCapPlacesWaitInPlugInOrder) {
  Station station(2);
  EXPECT_EQ(station.LookAt(0, {At(L"D")}), (Lines{"plugged D", "start D"}));
  EXPECT_EQ(station.LookAt(200, {At(L"D"), At(L"C")}), (Lines{"plugged C", "start C"}));
  EXPECT_EQ(station.LookAt(400, {At(L"D"), At(L"C"), At(L"B")}), Lines{"plugged B"});
  EXPECT_EQ(station.LookAt(600, {At(L"D"), At(L"C"), At(L"B"), At(L"A")}), Lines{"plugged A"});
  EXPECT_EQ(station.Upgrading(), 2u);
  station.Ended(L"C", 700);
  EXPECT_EQ(station.LookAt(800, {At(L"D"), At(L"C"), At(L"B"), At(L"A")}), Lines{"start B"});
  station.Ended(L"D", 900);
  EXPECT_EQ(station.LookAt(1000, {At(L"D"), At(L"C"), At(L"B"), At(L"A")}), Lines{"start A"});
  EXPECT_EQ(station.Upgrading(), 2u);
}

TEST(StationPlaces, WaitingModuleUnpluggedLeavesTheQueue) {
  Station station(1);
  EXPECT_EQ(station.LookAt(0, {At(L"A"), At(L"B")}), (Lines{"plugged A", "plugged B", "start A"}));
  EXPECT_EQ(station.LookAt(200, {At(L"A")}), Lines{});
  EXPECT_EQ(station.LookAt(2200, {At(L"A")}), Lines{"unplugged B"});
  station.Ended(L"A", 2300);
  EXPECT_EQ(station.LookAt(2400, {At(L"A")}), Lines{});
  EXPECT_EQ(station.Upgrading(), 0u);
}

}  // namespace
