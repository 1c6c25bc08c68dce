// The device lookup's choice of a port among the system's COM-port
// interfaces, and its wait for the module to go and come back, over a fake
// interface list.
#include "host/device_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct sFakeInterface {
  std::wstring devicePath;
  std::wstring portName;
  std::wstring location = L"";
};

// Interfaces in a fixed order; records which port names were asked for. An
// interface with the path "!" stands for a detail that cannot be read.
class cFakeInterfaces : public host::cComPortInterfaces {
 public:
  cFakeInterfaces(std::initializer_list<sFakeInterface> interfaces) : interfaces_(interfaces) {}

  bool GetDevicePath(uint32_t index, std::wstring& path) override {
    if (index >= interfaces_.size() || interfaces_[index].devicePath == L"!") {
      return false;
    }
    path = interfaces_[index].devicePath;
    return true;
  }
  std::wstring ReadPortName(uint32_t index, const host::sDeviceInterfaceKey& key) override {
    asked.push_back(key);
    return interfaces_.at(index).portName;
  }
  std::wstring ReadLocation(uint32_t index, const host::sDeviceInterfaceKey&) override {
    return interfaces_.at(index).location;
  }
  host::sUsbPlace ReadPlace(uint32_t index, const host::sDeviceInterfaceKey&) override {
    return {L"port of " + interfaces_.at(index).location, L"1-" + std::to_wstring(index)};
  }

  std::vector<host::sDeviceInterfaceKey> asked;

 private:
  std::vector<sFakeInterface> interfaces_;
};

host::ConfigurationMap Configured(std::initializer_list<const wchar_t*> keys) {
  host::ConfigurationMap configurations;
  for (const wchar_t* key : keys) configurations[key].key = key;
  return configurations;
}

// The port an upgrade without a named port works on.
std::wstring FindConfiguredPort(host::cComPortInterfaces& interfaces, const host::ConfigurationMap& configurations) {
  const std::vector<host::sModulePort> modules = host::FindConfiguredModules(interfaces, configurations);
  return modules.empty() ? std::wstring() : modules.front().portName;
}

const wchar_t* const kModulePath =
    L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_01#6&1A2B3C&0&0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

TEST(DevicePath, SplitsIntoLowerCaseFields) {
  host::sDeviceInterfaceKey key;
  ASSERT_TRUE(host::SplitDevicePath(kModulePath, key));
  EXPECT_EQ(key.enumerator, L"usb");
  EXPECT_EQ(key.identity, L"vid_0a1b&pid_2c3d&mi_01");
  EXPECT_EQ(key.instance, L"6&1a2b3c&0&0001");
  ASSERT_TRUE(host::SplitDevicePath(L"\\\\?\\ACPI#PNP0501", key));
  EXPECT_EQ(key.identity, L"pnp0501");
  EXPECT_EQ(key.instance, L"");
  EXPECT_FALSE(host::SplitDevicePath(L"\\\\?\\nohash", key));
}

TEST(FindConfiguredPort, UpperCasePathMatchesLowerCaseKey) {
  cFakeInterfaces interfaces({{kModulePath, L"COM5"}});
  EXPECT_EQ(FindConfiguredPort(interfaces, Configured({L"vid_0a1b&pid_2c3d&mi_01"})), L"COM5");
  ASSERT_EQ(interfaces.asked.size(), 1u);
  EXPECT_EQ(interfaces.asked[0].enumerator, L"usb");
  EXPECT_EQ(interfaces.asked[0].instance, L"6&1a2b3c&0&0001");
}

TEST(FindConfiguredPort, UnconfiguredInterfacesAreNeverAskedForAPort) {
  cFakeInterfaces interfaces({{L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_00#1#{c}", L"COM4"},
                              {L"no hash at all", L"COM6"},
                              {L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_02#1#{c}", L"COM7"}});
  EXPECT_EQ(FindConfiguredPort(interfaces, Configured({L"vid_0a1b&pid_2c3d&mi_01"})), L"");
  EXPECT_TRUE(interfaces.asked.empty());
}

TEST(FindConfiguredPort, FirstConfiguredWithAPortNameWins) {
  cFakeInterfaces interfaces({{L"\\\\?\\USB#VID_1111&PID_2222&MI_02#1#{c}", L""},
                              {L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_01#2#{c}", L"COM8"},
                              {L"\\\\?\\USB#VID_1111&PID_2222&MI_02#3#{c}", L"COM9"}});
  EXPECT_EQ(FindConfiguredPort(interfaces, Configured({L"vid_1111&pid_2222&mi_02", L"vid_0a1b&pid_2c3d&mi_01"})),
            L"COM8");
}

TEST(FindConfiguredPort, UnreadableDetailEndsTheEnumeration) {
  cFakeInterfaces interfaces({{L"!", L""}, {kModulePath, L"COM5"}});
  EXPECT_EQ(FindConfiguredPort(interfaces, Configured({L"vid_0a1b&pid_2c3d&mi_01"})), L"");
}

TEST(FindConfiguredModules, EveryConfiguredInterfaceWithAPortInOrderWithItsPlace) {
  cFakeInterfaces interfaces({{L"\\\\?\\USB#VID_1111&PID_2222&MI_02#1#{c}", L"COM3", L"USB\\A"},
                              {L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_01#2#{c}", L"", L"USB\\B"},
                              {L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_00#3#{c}", L"COM4", L"USB\\C"},
                              {L"\\\\?\\USB#VID_0A1B&PID_2C3D&MI_01#4#{c}", L"COM9", L"USB\\D"},
                              {L"!", L"COM1", L"USB\\E"},
                              {kModulePath, L"COM5", L"USB\\F"}});
  const std::vector<host::sModulePort> modules =
      host::FindConfiguredModules(interfaces, Configured({L"vid_1111&pid_2222&mi_02", L"vid_0a1b&pid_2c3d&mi_01"}));
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0].portName, L"COM3");
  EXPECT_EQ(modules[0].identity, L"vid_1111&pid_2222&mi_02");
  EXPECT_EQ(modules[0].location, L"USB\\A");
  EXPECT_EQ(modules[0].place, L"port of USB\\A");
  EXPECT_EQ(modules[0].enumeration, L"1-0");
  EXPECT_EQ(modules[1].portName, L"COM9");
  EXPECT_EQ(modules[1].identity, L"vid_0a1b&pid_2c3d&mi_01");
  EXPECT_EQ(modules[1].location, L"USB\\D");
}

// Counts pauses and answers "present" from a script of check results: the
// module is gone when a check finds it absent, and back when one finds it
// present again.
struct sScriptedPort {
  std::vector<bool> presentAtCheck;
  size_t checks = 0;
  size_t pauses = 0;
  bool Present() {
    return checks < presentAtCheck.size() ? presentAtCheck[checks++] : (++checks, presentAtCheck.back());
  }
};

bool Wait(sScriptedPort& port) {
  return host::WaitForPortToGoAndReturn([&port] { return !port.Present(); }, [&port] { return port.Present(); },
                                        [&port] { ++port.pauses; });
}

TEST(Reenumeration, PortGoesAndComesBack) {
  sScriptedPort port{{true, true, false, false, true}};
  EXPECT_TRUE(Wait(port));
  EXPECT_EQ(port.checks, 5u);
  EXPECT_EQ(port.pauses, 5u);  // a pause before every check
}

TEST(Reenumeration, GoneAndBackAreAskedInTurn) {
  std::vector<char> asked;
  size_t pauses = 0;
  EXPECT_TRUE(host::WaitForPortToGoAndReturn([&asked] { return asked.push_back('g'), true; },
                                             [&asked] { return asked.push_back('b'), asked.size() == 3; },
                                             [&pauses] { ++pauses; }));
  EXPECT_EQ(asked, (std::vector<char>{'g', 'b', 'b'}));
  EXPECT_EQ(pauses, 3u);
}

TEST(Reenumeration, PortThatNeverGoesIsGivenUpAfterFiftyChecks) {
  sScriptedPort port{{true}};
  EXPECT_FALSE(Wait(port));
  EXPECT_EQ(port.checks, 50u);
}

TEST(Reenumeration, PortThatNeverReturnsIsGivenUpAfterFiftyMoreChecks) {
  sScriptedPort port{{false}};
  EXPECT_FALSE(Wait(port));
  EXPECT_EQ(port.checks, 51u);
  EXPECT_EQ(port.pauses, 51u);
}

}  // namespace
