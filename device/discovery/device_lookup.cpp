// Finds the configured module's serial port among the present COM-port
// interfaces, and waits for it across the module's restarts.
#include "device/discovery/device_lookup.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "device/discovery/ascii_text.h"
#include "device/discovery/device_search.h"

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

std::wstring FindConfiguredPort(cComPortInterfaces& interfaces, const ConfigurationMap& configurations) {
  std::wstring path;
  for (uint32_t index = 0; interfaces.GetDevicePath(index, path); ++index) {
    sDeviceInterfaceKey key;
    if (!SplitDevicePath(path, key) || configurations.count(key.identity) == 0) {
      continue;
    }
    std::wstring portName = interfaces.ReadPortName(index, key);
    if (!portName.empty()) {
      return portName;
    }
  }
  return {};
}

bool WaitForPortToGoAndReturn(const std::function<bool()>& portPresent, const std::function<void()>& pause) {
  return PollFor(false, portPresent, pause) && PollFor(true, portPresent, pause);
}

std::wstring FindDevicePort() {
  std::unique_ptr<cComPortInterfaces> interfaces = host::OpenPresentComPortInterfaces();
  return interfaces ? FindConfiguredPort(*interfaces, ProcessConfigurationMap()) : std::wstring();
}

// The module's time to restart: a real sleep between checks.
bool WaitForDeviceReenumeration() {
  return WaitForPortToGoAndReturn([] { return !FindDevicePort().empty(); },
                                  [] { std::this_thread::sleep_for(kCheckInterval); });
}
