// Finds the configured modules' serial ports among the present COM-port
// interfaces, and follows one across its restarts.
#include "device/discovery/device_lookup.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "device/discovery/ascii_text.h"
#include "device/discovery/device_search.h"
#include "platform/console.h"

namespace {

constexpr std::chrono::milliseconds kCheckInterval{200};
constexpr std::wstring_view kDevicePathPrefix = L"\\\\?\\";

void RemoveAll(std::wstring& text, std::wstring_view part) {
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at)) {
    text.erase(at, part.size());
  }
}

// Checks up to kReenumerationChecks times whether portPresent() == wanted.
bool PollFor(bool wanted, const std::function<bool()>& portPresent, const std::function<void()>& pause) {
  for (int check = 0; check < kReenumerationChecks; ++check) {
    pause();
    if (portPresent() == wanted) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool SplitDevicePath(const std::wstring& path, host::sDeviceInterfaceKey& key) {
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

std::vector<host::sModulePort> FindConfiguredModules(host::cComPortInterfaces& interfaces,
                                                     const ConfigurationMap& configurations) {
  std::vector<host::sModulePort> found;
  std::wstring path;
  for (uint32_t index = 0; interfaces.GetDevicePath(index, path); ++index) {
    host::sDeviceInterfaceKey key;
    if (!SplitDevicePath(path, key) || configurations.count(key.identity) == 0) {
      continue;
    }
    std::wstring portName = interfaces.ReadPortName(index, key);
    if (!portName.empty()) {
      found.push_back({std::move(portName), key.identity, interfaces.ReadLocation(index, key)});
    }
  }
  return found;
}

bool WaitForPortToGoAndReturn(const std::function<bool()>& portPresent, const std::function<void()>& pause) {
  return PollFor(false, portPresent, pause) && PollFor(true, portPresent, pause);
}

std::vector<host::sModulePort> ListDeviceModules() {
  std::unique_ptr<host::cComPortInterfaces> interfaces = host::OpenPresentComPortInterfaces();
  return interfaces ? FindConfiguredModules(*interfaces, ProcessConfigurationMap()) : std::vector<host::sModulePort>();
}

// The module's time to restart: a real sleep between checks.
bool cFollowedModule::WaitForReenumeration() {
  host::sModulePort found;
  const bool back = WaitForPortToGoAndReturn(
      [this, &found] {
        found = host::FindFollowedModule(ListDeviceModules(), module_, named_);
        return !found.portName.empty();
      },
      [] { std::this_thread::sleep_for(kCheckInterval); });
  if (!back) return false;
  if (found.portName != module_.portName) {
    platform::ConsoleExplain(L"zntv-upgrade: the module came back as %ls\n", found.portName.c_str());
  }
  module_ = std::move(found);
  return true;
}
