// The Linux device lookup over a fake sysfs tree and device directory.
#include "device/discovery/device_lookup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "device/discovery/configuration.h"
#include "sysfs_tree_posix.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class DeviceLookup : public ::testing::Test {
 protected:
  void Configure(std::initializer_list<const wchar_t*> keys) {
    for (const wchar_t* key : keys) ProcessConfigurationMap()[key].key = key;
  }
  void TearDown() override { ProcessConfigurationMap().clear(); }
  cSysfsTree sysfs_;
};

TEST_F(DeviceLookup, ConfiguredUsbSerialPortIsFound) {
  sysfs_.AddPlatformSerial("ttyS0");
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FindDevicePort(), Wide(sysfs_.Dev("ttyUSB0")));
}

TEST_F(DeviceLookup, ConfiguredAcmPortIsFound) {
  sysfs_.AddAcm("ttyACM0", {"0a1b", "2c3d", "00"});
  Configure({L"vid_0a1b&pid_2c3d&mi_00"});
  EXPECT_EQ(FindDevicePort(), Wide(sysfs_.Dev("ttyACM0")));
}

TEST_F(DeviceLookup, UnconfiguredModuleIsNotFound) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "01"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FindDevicePort(), L"");
}

TEST_F(DeviceLookup, FirstInByteOrderOfTheTtyNamesWins) {
  // Made in neither ascending nor descending order, so that neither order of
  // creation gives the answer.
  sysfs_.AddUsbSerial("ttyUSB1", {"1111", "2222", "02", "1-2"});
  sysfs_.AddAcm("ttyACM9", {"0a1b", "2c3d", "02", "1-1"});
  sysfs_.AddUsbSerial("ttyUSB0", {"1111", "2222", "02", "1-3"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02", L"vid_1111&pid_2222&mi_02"});
  EXPECT_EQ(FindDevicePort(), Wide(sysfs_.Dev("ttyACM9")));
}

TEST_F(DeviceLookup, PortWithoutDeviceNodeIsSkipped) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02", "1-1"}, false);
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-2"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FindDevicePort(), Wide(sysfs_.Dev("ttyUSB1")));
}

TEST_F(DeviceLookup, IdentityIsTrimmedAndLowerCased) {
  sysfs_.AddUsbSerial("ttyUSB0", {" 0A1B", "2C3D ", "02"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FindDevicePort(), Wide(sysfs_.Dev("ttyUSB0")));
}

TEST_F(DeviceLookup, PortNameMayBeASymbolicLink) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02"}, false);
  std::filesystem::path real = sysfs_.Tree().Write("pts/7", "");
  std::filesystem::create_symlink(real, sysfs_.Dev("ttyUSB0"));
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FindDevicePort(), Wide(sysfs_.Dev("ttyUSB0")));
}

TEST_F(DeviceLookup, NoTtyClassMeansNoPort) {
  std::filesystem::remove_all(sysfs_.Tree().Root() / "sys");
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FindDevicePort(), L"");
}

}  // namespace
