// The device lookup's logic, apart from the system's interface list and clock:
// the choice of configured ports and the wait for a port to go and return.
//
// Threads: main thread only.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "host/com_port_interfaces.h"
#include "host/configuration.h"

namespace host {

// Splits a device path (lower-cased first) into its key; false for a path
// without '#'. A path with one '#' has an empty instance.
bool SplitDevicePath(const std::wstring& path, sDeviceInterfaceKey& key);

// Every interface of the snapshot whose identity is a key of configurations
// and whose port name is not empty, in the snapshot's order, with its place.
std::vector<sModulePort> FindConfiguredModules(cComPortInterfaces& interfaces, const ConfigurationMap& configurations);

inline constexpr int kReenumerationChecks = 50;

// Up to kReenumerationChecks times: pause, then ask gone, until it says true;
// then as often again: pause, then ask back, until it says true. True when
// the port came back; false when it never went or never returned.
bool WaitForPortToGoAndReturn(const std::function<bool()>& gone, const std::function<bool()>& back,
                              const std::function<void()>& pause);

}  // namespace host
