// The Linux device lookup over a fake sysfs tree and device directory: which
// port it finds, the modules it lists with their USB devices, how it knows a
// module again by its place after the kernel renamed its tty or the module
// came back at the USB 3 twin of its hub port, and which names a user may
// give a port by.
#include "host/device_lookup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/configuration.h"
#include "platform/errors.h"
#include "sysfs_tree_posix.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The port an upgrade without a named port works on.
std::wstring FirstPort() {
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  return modules.empty() ? std::wstring() : modules.front().portName;
}

class DeviceLookup : public ::testing::Test {
 protected:
  void Configure(std::initializer_list<const wchar_t*> keys) {
    for (const wchar_t* key : keys) host::ProcessConfigurationMap()[key].key = key;
  }
  void TearDown() override { host::ProcessConfigurationMap().clear(); }
  cSysfsTree sysfs_;
};

TEST_F(DeviceLookup, ConfiguredUsbSerialPortIsFound) {
  sysfs_.AddPlatformSerial("ttyS0");
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyUSB0")));
}

TEST_F(DeviceLookup, ConfiguredAcmPortIsFound) {
  sysfs_.AddAcm("ttyACM0", {"0a1b", "2c3d", "00"});
  Configure({L"vid_0a1b&pid_2c3d&mi_00"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyACM0")));
}

TEST_F(DeviceLookup, UnconfiguredModuleIsNotFound) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "01"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), L"");
}

TEST_F(DeviceLookup, FirstInByteOrderOfTheTtyNamesWins) {
  // Made in neither ascending nor descending order, so that neither order of
  // creation gives the answer.
  sysfs_.AddUsbSerial("ttyUSB1", {"1111", "2222", "02", "1-2"});
  sysfs_.AddAcm("ttyACM9", {"0a1b", "2c3d", "02", "1-1"});
  sysfs_.AddUsbSerial("ttyUSB0", {"1111", "2222", "02", "1-3"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02", L"vid_1111&pid_2222&mi_02"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyACM9")));
}

TEST_F(DeviceLookup, PortWithoutDeviceNodeIsSkipped) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02", "1-1"}, false);
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-2"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyUSB1")));
}

TEST_F(DeviceLookup, IdentityIsTrimmedAndLowerCased) {
  sysfs_.AddUsbSerial("ttyUSB0", {" 0A1B", "2C3D ", "02"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyUSB0")));
}

TEST_F(DeviceLookup, PortNameMayBeASymbolicLink) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02"}, false);
  std::filesystem::path real = sysfs_.Tree().Write("pts/7", "");
  std::filesystem::create_symlink(real, sysfs_.Dev("ttyUSB0"));
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyUSB0")));
}

TEST_F(DeviceLookup, ModulesAreListedInByteOrderWithTheirUsbDevice) {
  sysfs_.AddUsbSerial("ttyUSB3", {"0a1b", "2c3d", "02", "1-4.2"});
  sysfs_.AddUsbSerial("ttyUSB2", {"0a1b", "2c3d", "01", "1-4.2"});
  sysfs_.AddAcm("ttyACM0", {"1111", "2222", "00", "3-1"});
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-3"}, false);
  Configure({L"vid_0a1b&pid_2c3d&mi_02", L"vid_1111&pid_2222&mi_00"});
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0].portName, Wide(sysfs_.Dev("ttyACM0")));
  EXPECT_EQ(modules[0].identity, L"vid_1111&pid_2222&mi_00");
  EXPECT_EQ(modules[0].location, L"3-1");
  EXPECT_EQ(modules[1].portName, Wide(sysfs_.Dev("ttyUSB3")));
  EXPECT_EQ(modules[1].location, L"1-4.2");
}

// The name a modem manager knows the module's USB device by: its real path
// in sysfs, whatever links led to it.
TEST_F(DeviceLookup, ModuleCarriesTheRealPathOfItsUsbDevice) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02", "1-4.2"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  ASSERT_EQ(modules.size(), 1u);
  const std::filesystem::path device =
      std::filesystem::canonical(sysfs_.Tree().Root() / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-4.2");
  EXPECT_EQ(modules[0].usbDevice, Wide(device.string()));
}

// The module started as ttyUSB2 at 1-4.2; its boot downloader came back as
// ttyUSB0 with another product id, and a second module is at 1-3.
TEST_F(DeviceLookup, ModuleIsKnownAgainByItsUsbDeviceWhateverItsTtyAndIdentity) {
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-3"});
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "f00d", "00", "1-4.2"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02", L"vid_0a1b&pid_f00d&mi_00"});
  const host::sModulePort followed{Wide(sysfs_.Dev("ttyUSB2")), L"vid_0a1b&pid_2c3d&mi_02", L"1-4.2", L"1-4.2", L""};
  for (bool named : {false, true}) {
    const host::sModulePort found = host::FindFollowedModule(host::ListDeviceModules(), followed, named);
    EXPECT_EQ(found.portName, Wide(sysfs_.Dev("ttyUSB0")));
    EXPECT_EQ(found.identity, L"vid_0a1b&pid_f00d&mi_00");
    EXPECT_EQ(found.location, L"1-4.2");
  }
}

TEST_F(DeviceLookup, ModuleAwayFromItsUsbDeviceIsGoneWhileAnotherIsPresent) {
  sysfs_.AddUsbSerial("ttyUSB2", {"0a1b", "2c3d", "02", "1-3"});
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "00", "1-4.2"});         // not a configured interface
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-4.2"}, false);  // no port node yet
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  const host::sModulePort followed{Wide(sysfs_.Dev("ttyUSB2")), L"vid_0a1b&pid_2c3d&mi_02", L"1-4.2", L"1-4.2", L""};
  EXPECT_EQ(host::FindFollowedModule(host::ListDeviceModules(), followed, false).portName, L"");
}

TEST_F(DeviceLookup, PlaceIsTheHubPortWithItsTwinAndTheEnumerationItsDeviceNumber) {
  sysfs_.AddUsbSerial("ttyUSB2", {"0a1b", "2c3d", "02", "2-1"});
  sysfs_.PlugIntoHubPort("2-1", "usb2-port1", "usb1-port4");
  sysfs_.SetDeviceNumber("2-1", "2", "7");
  sysfs_.AddUsbSerial("ttyUSB5", {"0a1b", "2c3d", "02", "1-3"});
  sysfs_.PlugIntoHubPort("1-3", "usb1-port3");
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0].location, L"2-1");
  EXPECT_EQ(modules[0].place, L"usb1-port4+usb2-port1");
  EXPECT_EQ(modules[0].enumeration, L"2-7");
  EXPECT_EQ(modules[1].place, L"usb1-port3");
  EXPECT_EQ(modules[1].enumeration, L"");
}

// Found at SuperSpeed at 2-1; its boot downloader runs at high speed and
// enumerates at the other half of the socket, as 1-4.
TEST_F(DeviceLookup, ModuleIsKnownAgainAtTheTwinOfItsHubPort) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02", "1-4"});
  sysfs_.PlugIntoHubPort("1-4", "usb1-port4", "usb2-port1");
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-3"});
  sysfs_.PlugIntoHubPort("1-3", "usb1-port3");
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  const host::sModulePort followed{Wide(sysfs_.Dev("ttyUSB2")), L"vid_0a1b&pid_2c3d&mi_02", L"2-1",
                                   L"usb1-port4+usb2-port1", L"2-3"};
  const host::sModulePort found = host::FindFollowedModule(host::ListDeviceModules(), followed, true);
  EXPECT_EQ(found.portName, Wide(sysfs_.Dev("ttyUSB0")));
  EXPECT_EQ(found.location, L"1-4");
  EXPECT_EQ(host::ModuleAfterWaitRanOut(host::ListDeviceModules(), followed, true).portName,
            Wide(sysfs_.Dev("ttyUSB0")));
}

// After a wait that ran out, a port is opened only at the module's place:
// the name it had, now another module's elsewhere, is not.
TEST_F(DeviceLookup, AfterAWaitThatRanOutOnlyAPortAtThePlaceIsOpened) {
  sysfs_.AddUsbSerial("ttyUSB2", {"0a1b", "2c3d", "02", "1-5"});
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  const host::sModulePort followed{Wide(sysfs_.Dev("ttyUSB2")), L"vid_0a1b&pid_2c3d&mi_02", L"1-4.2", L"1-4.2", L""};
  EXPECT_EQ(host::ModuleAfterWaitRanOut(host::ListDeviceModules(), followed, true).portName, L"");
}

TEST_F(DeviceLookup, OnlyAPassingRefusalOfAnOpenIsTriedAgain) {
  EXPECT_TRUE(host::IsPassingOpenRefusal(platform::kErrorAccessDenied));
  EXPECT_TRUE(host::IsPassingOpenRefusal(platform::kErrorBusy));
  EXPECT_FALSE(host::IsPassingOpenRefusal(platform::kErrorFileNotFound));
  EXPECT_FALSE(host::IsPassingOpenRefusal(platform::kErrorDeviceNotConnected));
}

TEST_F(DeviceLookup, PortIsNamedByBareNameFullPathOrALinkToItsNode) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02", "1-1"});
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-2"});
  const std::wstring port = Wide(sysfs_.Dev("ttyUSB1"));
  const std::filesystem::path byId = sysfs_.Tree().Root() / "dev/serial/by-id/usb-Zantrova_Modem-if02-port0";
  std::filesystem::create_directories(byId.parent_path());
  std::filesystem::create_symlink("../../ttyUSB1", byId);
  EXPECT_TRUE(host::NamesPort(L"ttyUSB1", port));
  EXPECT_TRUE(host::NamesPort(port, port));
  EXPECT_TRUE(host::NamesPort(Wide(byId.string()), port));
  EXPECT_FALSE(host::NamesPort(L"ttyUSB0", port));
  EXPECT_FALSE(host::NamesPort(L"ttyUSB9", port));
  EXPECT_FALSE(host::NamesPort(L"/dev/ttyUSB1", port));
}

// A sysfs attribute never holds more than a page; a bigger file in the tree
// is not one, and is not read on and on.
TEST_F(DeviceLookup, AnAttributeOfMoreThanFourKibibytesIsNotRead) {
  sysfs_.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02", "1-1"});
  sysfs_.AddUsbSerial("ttyUSB1", {"0a1b", "2c3d", "02", "1-2"});
  const std::string usb1 = "sys/devices/pci0000:00/0000:00:14.0/usb1/";
  sysfs_.Tree().Write(usb1 + "1-1/idVendor", "0a1b" + std::string(4092, ' ') + "\n");  // 4097 bytes
  sysfs_.Tree().Write(usb1 + "1-2/idVendor", "0a1b" + std::string(4091, ' ') + "\n");  // 4096 bytes
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), Wide(sysfs_.Dev("ttyUSB1")));
}

TEST_F(DeviceLookup, NoTtyClassMeansNoPort) {
  std::filesystem::remove_all(sysfs_.Tree().Root() / "sys");
  Configure({L"vid_0a1b&pid_2c3d&mi_02"});
  EXPECT_EQ(FirstPort(), L"");
}

}  // namespace
