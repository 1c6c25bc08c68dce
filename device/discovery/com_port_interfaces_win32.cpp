// Windows COM-port interfaces: SetupAPI's present interfaces of
// GUID_DEVINTERFACE_COMPORT and the "PortName" value of each device's
// "Device Parameters" key below HKEY_LOCAL_MACHINE.
#include "device/discovery/com_port_interfaces.h"

// windows.h first, in a block of its own: setupapi.h needs its types.
#include <windows.h>

#include <setupapi.h>

#include <cstring>
#include <vector>

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
constexpr GUID kComPortInterfaceClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// One buffer serves the interface detail and the registry value.
constexpr DWORD kWorkingBufferSize = 4102;

class cSetupApiComPortInterfaces final : public host::cComPortInterfaces {
 public:
  explicit cSetupApiComPortInterfaces(HDEVINFO set) : set_(set) {}
  ~cSetupApiComPortInterfaces() override { SetupDiDestroyDeviceInfoList(set_); }
  cSetupApiComPortInterfaces(const cSetupApiComPortInterfaces&) = delete;
  cSetupApiComPortInterfaces& operator=(const cSetupApiComPortInterfaces&) = delete;

  bool GetDevicePath(uint32_t index, std::wstring& path) override {
    SP_DEVICE_INTERFACE_DATA interface {};
    interface.cbSize = sizeof(interface);
    if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &kComPortInterfaceClass, index, &interface)) {
      return false;
    }
    std::vector<uint64_t> buffer(WorkingBufferUnits());
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiGetDeviceInterfaceDetailW(set_, &interface, detail, kWorkingBufferSize, nullptr, &device)) {
      return false;
    }
    path = detail->DevicePath;
    return true;
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

}  // namespace host
