// The Windows lookup's place of a module, read through SetupAPI from a COM
// port device this test registers as a USB serial driver would, under Wine,
// whose SetupAPI takes devices, their interfaces and their properties from
// the registry: the hub port of the device's location path, the same in
// each of the module's modes.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/com_port_interfaces.h"
#include "text/ascii_text.h"

namespace {

constexpr const wchar_t* kMachine = L"System\\CurrentControlSet\\";
constexpr const wchar_t* kComPortClass = L"{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr const wchar_t* kHardwareId = L"VID_7E57&PID_0001&MI_02";  // configured nowhere
// Where the system keeps a device's location paths (DEVPKEY_Device_LocationPaths),
// and the type it stores a list of strings (DEVPROP_TYPE_STRING_LIST) with.
constexpr const wchar_t* kLocationPathsProperty = L"\\Properties\\{a45c254e-df1c-4efd-8020-67d146a850e0}\\0025";
constexpr DWORD kStoredStringList = 0xffff2012;

void SetValue(HKEY key, const wchar_t* name, DWORD type, const std::wstring& data) {
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

HKEY CreateKey(const std::wstring& path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << "cannot create a key below HKEY_LOCAL_MACHINE";
  return key;
}

// A present COM-port interface of a USB device with instance `instance`,
// with location paths (a list ending in an empty string) unless empty.
class cRegisteredPort {
 public:
  cRegisteredPort(const std::wstring& instance, const std::wstring& locationPaths)
      : device_(std::wstring(kMachine) + L"Enum\\USB\\" + kHardwareId + L"\\" + instance),
        interface_(std::wstring(kMachine) + L"Control\\DeviceClasses\\" + kComPortClass + L"\\##?#USB#" + kHardwareId +
                   L"#" + instance + L"#" + kComPortClass) {
    HKEY device = CreateKey(device_);
    SetValue(device, L"Class", REG_SZ, L"Ports");
    SetValue(device, L"ClassGUID", REG_SZ, L"{4d36e978-e325-11ce-bfc1-08002be10318}");
    SetValue(device, L"Service", REG_SZ, L"usbser");
    RegCloseKey(device);
    if (!locationPaths.empty()) {
      HKEY property = CreateKey(device_ + kLocationPathsProperty);
      SetValue(property, nullptr, kStoredStringList, locationPaths);
      RegCloseKey(property);
    }
    HKEY parameters = CreateKey(device_ + L"\\Device Parameters");
    SetValue(parameters, L"PortName", REG_SZ, L"COM97");
    RegCloseKey(parameters);
    HKEY interface = CreateKey(interface_);
    SetValue(interface, L"DeviceInstance", REG_SZ, std::wstring(L"USB\\") + kHardwareId + L"\\" + instance);
    RegCloseKey(interface);
    HKEY control = CreateKey(interface_ + L"\\#\\Control");
    const DWORD linked = 1;
    RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof(linked));
    RegCloseKey(control);
  }
  ~cRegisteredPort() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, interface_.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, device_.c_str());
  }
  cRegisteredPort(const cRegisteredPort&) = delete;
  cRegisteredPort& operator=(const cRegisteredPort&) = delete;

 private:
  std::wstring device_;
  std::wstring interface_;
};

// The place of the one present interface of kHardwareId; "(none)" when there
// is no such interface.
std::wstring PlaceOfRegisteredPort() {
  const std::unique_ptr<host::cComPortInterfaces> interfaces = host::OpenPresentComPortInterfaces();
  if (!interfaces) return L"(no interface list)";
  std::wstring path;
  for (uint32_t index = 0; interfaces->GetDevicePath(index, path); ++index) {
    if (ToLowerAscii(path).find(ToLowerAscii(kHardwareId)) == std::wstring::npos) continue;
    host::sDeviceInterfaceKey key;
    key.identity = ToLowerAscii(kHardwareId);
    return interfaces->ReadPlace(index, key).place;
  }
  return L"(none)";
}

TEST(ComPortPlace, IsTheHubPortOfTheLocationPath) {
  const std::wstring paths = std::wstring(L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)#USBMI(2)") + L'\0' +
                             L"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS04)" + L'\0';
  cRegisteredPort port(L"9&5eed&0&2", paths);
  EXPECT_EQ(PlaceOfRegisteredPort(), L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)");
}

TEST(ComPortPlace, IsTheInstanceIdWithoutALocationPath) {
  cRegisteredPort port(L"9&5eed&0&2", L"");
  EXPECT_EQ(ToLowerAscii(PlaceOfRegisteredPort()),
            ToLowerAscii(std::wstring(L"USB\\") + kHardwareId + L"\\9&5eed&0&2"));
}

}  // namespace
