// Finds the configured modules' serial ports among the present COM-port
// interfaces, and follows one across its restarts.
#include "host/device_lookup.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "host/device_search.h"
#include "text/ascii_text.h"
#include "text/printable_text.h"

namespace host {

namespace {

constexpr std::chrono::milliseconds kCheckInterval{200};
// How long each half of the wait gives the module.
constexpr auto kWaitTime = std::chrono::duration_cast<std::chrono::seconds>(kCheckInterval * kReenumerationChecks);
constexpr std::wstring_view kDevicePathPrefix = L"\\\\?\\";

void RemoveAll(std::wstring& text, std::wstring_view part) {
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at)) {
    text.erase(at, part.size());
  }
}

// Checks up to kReenumerationChecks times whether seen() holds.
bool PollFor(const std::function<bool()>& seen, const std::function<void()>& pause) {
  for (int check = 0; check < kReenumerationChecks; ++check) {
    pause();
    if (seen()) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool SplitDevicePath(const std::wstring& path, sDeviceInterfaceKey& key) {
  std::wstring lower = ToLowerAscii(path);
  size_t first = lower.find(L'#');
  if (first == std::wstring::npos) {
    return false;
  }
  size_t second = std::min(lower.find(L'#', first + 1), lower.size());
  size_t third = second < lower.size() ? std::min(lower.find(L'#', second + 1), lower.size()) : second;
  key.enumerator = lower.substr(0, first);
  RemoveAll(key.enumerator, kDevicePathPrefix);
  key.identity = lower.substr(first + 1, second - first - 1);
  key.instance = third > second ? lower.substr(second + 1, third - second - 1) : std::wstring();
  return true;
}

std::vector<sModulePort> FindConfiguredModules(cComPortInterfaces& interfaces, const ConfigurationMap& configurations) {
  std::vector<sModulePort> found;
  std::wstring path;
  for (uint32_t index = 0; interfaces.GetDevicePath(index, path); ++index) {
    sDeviceInterfaceKey key;
    if (!SplitDevicePath(path, key) || configurations.count(key.identity) == 0) {
      continue;
    }
    std::wstring portName = interfaces.ReadPortName(index, key);
    if (!portName.empty()) {
      sUsbPlace place = interfaces.ReadPlace(index, key);
      found.push_back({std::move(portName), key.identity, interfaces.ReadLocation(index, key), std::move(place.place),
                       std::move(place.enumeration), interfaces.ReadUsbDevicePath(index, key)});
    }
  }
  return found;
}

bool WaitForPortToGoAndReturn(const std::function<bool()>& gone, const std::function<bool()>& back,
                              const std::function<void()>& pause) {
  return PollFor(gone, pause) && PollFor(back, pause);
}

std::vector<sModulePort> ListDeviceModules() {
  std::unique_ptr<cComPortInterfaces> interfaces = OpenPresentComPortInterfaces();
  return interfaces ? FindConfiguredModules(*interfaces, ProcessConfigurationMap()) : std::vector<sModulePort>();
}

namespace {

// What the wait saw at the module's place at its last check, for standard
// error when it runs out.
std::wstring Seen(const sModulePort& found) {
  if (found.portName.empty()) return L"no configured port";
  return found.portName + L" (" + found.identity + L", USB device " + found.location +
         (found.enumeration.empty() ? L"" : L", bus and device number " + found.enumeration) + L")";
}

}  // namespace

// The module's time to restart: a real sleep between checks. Gone: no
// configured port at the place, or one of another enumeration than the
// module's (a module off the bus for less than one check still shows a new
// device number). Back: a configured port at the place, enumerated since.
bool cFollowedModule::WaitForReenumeration(const report::cReporter& reporter) {
  const sModulePort before = module_;
  sModulePort found;
  bool wentAway = false;  // the first half of the wait saw the module go
  bool leftBus = false;   // a check found nothing at the place
  const auto look = [this, &before, &found] { found = FindFollowedModule(ListDeviceModules(), before, named_); };
  const auto gone = [&] {
    look();
    leftBus = found.portName.empty();
    wentAway = leftBus || found.enumeration != before.enumeration;
    return wentAway;
  };
  const auto back = [&] {
    look();
    return !found.portName.empty() && (leftBus || found.enumeration != before.enumeration);
  };
  const bool returned = WaitForPortToGoAndReturn(gone, back, [] { std::this_thread::sleep_for(kCheckInterval); });
  if (!returned) {
    reporter.Note(L"zntv-upgrade: the module did not %ls within %lld s; at its place (%ls): %ls",
                  wentAway ? L"come back" : L"leave the bus", static_cast<long long>(kWaitTime.count()),
                  text::PrintableText(before.place).c_str(), text::PrintableText(Seen(found)).c_str());
    found = ModuleAfterWaitRanOut(ListDeviceModules(), before, named_);
  } else if (found.portName != before.portName) {
    reporter.Note(L"zntv-upgrade: the module came back as %ls", text::PrintableText(found.portName).c_str());
  }
  justReturned_ = returned;
  present_ = !found.portName.empty();
  if (present_) module_ = std::move(found);
  if (module_.portName != before.portName) reporter.Port(module_.portName);
  return returned;
}

}  // namespace host
