// Linux COM-port interfaces: the USB serial ttys of <sysfs>/class/tty in
// ascending byte order of their names, each given a device path of the
// system's shape, "\\?\usb#vid_xxxx&pid_xxxx&mi_xx#<tty name>#{class}", and
// the port name <dev>/<tty name> while that exists.
#include "device/discovery/com_port_interfaces.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "device/discovery/ascii_text.h"
#include "device/discovery/native_fs_posix.h"

namespace {

constexpr const char* kComPortClass = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// A sysfs attribute's value without surrounding white space, in lower case.
std::optional<std::string> ReadAttribute(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  if (!file || !(text << file.rdbuf())) {
    return std::nullopt;
  }
  std::string value = text.str();
  auto isSpace = [](char c) { return IsAsciiSpace(static_cast<unsigned char>(c)); };
  value.erase(value.begin(), std::find_if_not(value.begin(), value.end(), isSpace));
  value.erase(std::find_if_not(value.rbegin(), value.rend(), isSpace).base(), value.end());
  std::transform(value.begin(), value.end(), value.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return value;
}

// The USB interface behind a tty: from its device directory upwards, the
// first directory with a bInterfaceNumber; its parent, the USB device, has
// the vendor and product.
std::optional<std::string> ReadInterfaceIdentity(const std::string& ttyEntry) {
  char resolved[PATH_MAX];
  if (realpath((ttyEntry + "/device").c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  std::string interface = resolved;
  while (!host::PathExists(interface + "/bInterfaceNumber")) {
    if (interface == "/") {
      return std::nullopt;
    }
    interface = Parent(interface);
  }
  std::string device = Parent(interface);
  std::optional<std::string> vendor = ReadAttribute(device + "/idVendor");
  std::optional<std::string> product = ReadAttribute(device + "/idProduct");
  std::optional<std::string> number = ReadAttribute(interface + "/bInterfaceNumber");
  if (!vendor || !product || !number) {
    return std::nullopt;
  }
  return "vid_" + *vendor + "&pid_" + *product + "&mi_" + *number;
}

struct sTtyInterface {
  std::string name;
  std::wstring devicePath;
};

class cSysfsComPortInterfaces final : public cComPortInterfaces {
 public:
  cSysfsComPortInterfaces() : devFolder_(host::NativePathFromEnvironment("DEV_PATH", "/dev")) {
    std::string ttyClass = host::NativePathFromEnvironment("SYSFS_PATH", "/sys") + "/class/tty";
    for (std::string& name : host::ListSortedNames(ttyClass)) {
      if (std::optional<std::string> identity = ReadInterfaceIdentity(ttyClass + "/" + name)) {
        std::string path = "\\\\?\\usb#" + *identity + "#" + name + "#" + kComPortClass;
        ttys_.push_back({std::move(name), host::FromNativePath(path)});
      }
    }
  }

  bool GetDevicePath(uint32_t index, std::wstring& path) override {
    if (index >= ttys_.size()) {
      return false;
    }
    path = ttys_[index].devicePath;
    return true;
  }

  // The tty's own name, not the lower-cased instance of the key: device
  // names are case-sensitive here.
  std::wstring ReadPortName(uint32_t index, const sDeviceInterfaceKey&) override {
    std::string port = devFolder_ + "/" + ttys_.at(index).name;
    return host::PathExists(port) ? host::FromNativePath(port) : std::wstring();
  }

 private:
  std::string devFolder_;
  std::vector<sTtyInterface> ttys_;
};

}  // namespace

namespace host {

std::unique_ptr<cComPortInterfaces> OpenPresentComPortInterfaces() {
  return std::make_unique<cSysfsComPortInterfaces>();
}

}  // namespace host
