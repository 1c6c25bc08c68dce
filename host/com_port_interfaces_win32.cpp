// Windows COM-port interfaces: SetupAPI's present interfaces of
// GUID_DEVINTERFACE_COMPORT, the "PortName" value of each device's
// "Device Parameters" key below HKEY_LOCAL_MACHINE, and the hub port of each
// device's location path as its place. The driver keeps a module's COM name
// across its modes, so an upgrade follows a module by that name.
#include "host/com_port_interfaces.h"

// windows.h first, in a block of its own: setupapi.h needs its types.
#include <windows.h>

#include <devpropdef.h>
#include <setupapi.h>

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "host/location_path.h"
#include "text/ascii_text.h"

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
constexpr GUID kComPortInterfaceClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// DEVPKEY_Device_LocationPaths: where the device is plugged in, from the root
// bus down (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USBMI(2)).
constexpr DEVPROPKEY kLocationPathsKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// One buffer serves the interface detail and the registry value.
constexpr DWORD kWorkingBufferSize = 4102;

class cSetupApiComPortInterfaces final : public host::cComPortInterfaces {
 public:
  explicit cSetupApiComPortInterfaces(HDEVINFO set) : set_(set) {}
  ~cSetupApiComPortInterfaces() override { SetupDiDestroyDeviceInfoList(set_); }
  cSetupApiComPortInterfaces(const cSetupApiComPortInterfaces&) = delete;
  cSetupApiComPortInterfaces& operator=(const cSetupApiComPortInterfaces&) = delete;

  bool GetDevicePath(uint32_t index, std::wstring& path) override {
    std::vector<uint64_t> buffer(WorkingBufferUnits());
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    SP_DEVINFO_DATA device{};
    if (!ReadDetail(index, detail, device)) return false;
    path = detail->DevicePath;
    return true;
  }

  std::wstring ReadLocation(uint32_t index, const host::sDeviceInterfaceKey&) override {
    SP_DEVINFO_DATA device{};
    if (!ReadDevice(index, device)) return {};
    std::vector<wchar_t> id(kWorkingBufferSize / sizeof(wchar_t));
    if (!SetupDiGetDeviceInstanceIdW(set_, &device, id.data(), static_cast<DWORD>(id.size()), nullptr)) return {};
    return id.data();
  }

  // The hub port the interface's device is plugged into, the same in each of
  // the module's modes (the instance id changes with the product id each mode
  // shows); the instance id where the system gives no location path. Windows
  // tells no enumeration apart.
  host::sUsbPlace ReadPlace(uint32_t index, const host::sDeviceInterfaceKey& key) override {
    std::wstring path = ReadLocationPath(index);
    return {path.empty() ? ReadLocation(index, key) : host::UsbPortOfLocationPath(std::move(path)), L""};
  }

  std::wstring ReadPortName(uint32_t, const host::sDeviceInterfaceKey& key) override {
    std::wstring keyPath = L"System\\CurrentControlSet\\Enum\\" + key.enumerator + L"\\" + key.identity + L"\\" +
                           key.instance + L"\\Device Parameters";
    HKEY parameters = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &parameters) != ERROR_SUCCESS) {
      return {};
    }
    std::vector<uint64_t> buffer(WorkingBufferUnits());
    DWORD size = kWorkingBufferSize;
    LSTATUS status =
        RegQueryValueExW(parameters, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(parameters);
    if (status != ERROR_SUCCESS) {
      return {};
    }
    // The value need not end in a NUL: take what was read, up to the first NUL.
    std::wstring value(size / sizeof(wchar_t), L'\0');
    std::memcpy(value.data(), buffer.data(), value.size() * sizeof(wchar_t));
    return value.substr(0, value.find(L'\0'));
  }

 private:
  static size_t WorkingBufferUnits() { return (kWorkingBufferSize + sizeof(uint64_t) - 1) / sizeof(uint64_t); }

  // The interface's detail record (into a working buffer) and its device.
  bool ReadDetail(uint32_t index, SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, SP_DEVINFO_DATA& device) {
    SP_DEVICE_INTERFACE_DATA interface {};
    interface.cbSize = sizeof(interface);
    if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &kComPortInterfaceClass, index, &interface)) {
      return false;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    device.cbSize = sizeof(device);
    return SetupDiGetDeviceInterfaceDetailW(set_, &interface, detail, kWorkingBufferSize, nullptr, &device) != FALSE;
  }

  // The device of interface <index>, its detail read into a buffer of its own.
  bool ReadDevice(uint32_t index, SP_DEVINFO_DATA& device) {
    std::vector<uint64_t> buffer(WorkingBufferUnits());
    return ReadDetail(index, reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data()), device);
  }

  // The first of the device's location paths (a list of strings); empty when
  // it has none.
  std::wstring ReadLocationPath(uint32_t index) {
    SP_DEVINFO_DATA device{};
    if (!ReadDevice(index, device)) return {};
    std::vector<wchar_t> paths(kWorkingBufferSize / sizeof(wchar_t) + 2, L'\0');
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    if (!SetupDiGetDevicePropertyW(set_, &device, &kLocationPathsKey, &type, reinterpret_cast<BYTE*>(paths.data()),
                                   kWorkingBufferSize, nullptr, 0) ||
        type != DEVPROP_TYPE_STRING_LIST) {
      return {};
    }
    return paths.data();
  }

  HDEVINFO set_;
};

}  // namespace

namespace host {

std::unique_ptr<cComPortInterfaces> OpenPresentComPortInterfaces() {
  HDEVINFO set = SetupDiGetClassDevsW(&kComPortInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  return std::make_unique<cSetupApiComPortInterfaces>(set);
}

// Without a named port any configured module's port counts and the name
// found at the start stays in use; a named port is watched by its name.
sModulePort FindFollowedModule(const std::vector<sModulePort>& present, const sModulePort& followed, bool named) {
  if (!named) return present.empty() ? sModulePort{} : followed;
  for (const sModulePort& module : present) {
    if (NamesPort(module.portName, followed.portName)) return module;
  }
  return {};
}

// The driver keeps the name across the module's modes: the name found at the
// start stays in use.
sModulePort ModuleAfterWaitRanOut(const std::vector<sModulePort>&, const sModulePort& followed, bool) {
  return followed;
}

bool IsPassingOpenRefusal(uint32_t) { return false; }

bool IsDevicePath(const char* argument) { return std::string_view(argument).substr(0, 4) == "\\\\.\\"; }

// Arguments come in the ANSI code page; port names are ASCII in practice.
std::wstring PortFromArgument(const char* argument) {
  const int length = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring port(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, argument, -1, port.data(), length);
  port.resize(static_cast<size_t>(length - 1));
  return port;
}

bool NamesPort(const std::wstring& requested, const std::wstring& portName) {
  return ToLowerAscii(requested) == ToLowerAscii(portName);
}

}  // namespace host
