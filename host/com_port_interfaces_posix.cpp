// Linux COM-port interfaces: the USB serial ttys of <sysfs>/class/tty in
// ascending byte order of their names, each given a device path of the
// system's shape, "\\?\usb#vid_xxxx&pid_xxxx&mi_xx#<tty name>#{class}", the
// port name <dev>/<tty name> while that exists, the sysfs name of its USB
// device as its location, and the device's hub port (with that port's USB 3
// twin) as its place. A module is followed by that place: the kernel names
// its ttys afresh whenever it re-enumerates in another mode, and a module
// whose modes run at different speeds comes back at the twin port, under
// another sysfs name.
#include "host/com_port_interfaces.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "host/native_fs_posix.h"
#include "platform/errors.h"
#include "platform/handle.h"
#include "text/ascii_text.h"

namespace {

constexpr const char* kComPortClass = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// A sysfs attribute is a regular file of at most one page.
constexpr size_t kAttributeLimit = 4096;

// The bytes of a sysfs attribute; nothing when it is not a regular file (a
// FIFO would block the read, a link to /dev/zero never end it) or holds more
// than an attribute can.
std::optional<std::string> ReadAttributeBytes(const std::string& path) {
  const platform::cHandle file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!file.IsValid() || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  std::string bytes(kAttributeLimit + 1, '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = read(file.Get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  if (done > kAttributeLimit) return std::nullopt;
  bytes.resize(done);
  return bytes;
}

// A sysfs attribute's value without surrounding white space, in lower case.
std::optional<std::string> ReadAttribute(const std::string& path) {
  std::optional<std::string> value = ReadAttributeBytes(path);
  if (!value) {
    return std::nullopt;
  }
  auto isSpace = [](char c) { return IsAsciiSpace(static_cast<unsigned char>(c)); };
  value->erase(value->begin(), std::find_if_not(value->begin(), value->end(), isSpace));
  value->erase(std::find_if_not(value->rbegin(), value->rend(), isSpace).base(), value->end());
  std::transform(value->begin(), value->end(), value->begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return value;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::optional<std::string> RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// The hub port a USB device is plugged into, with that port's twin on the
// other root hub of a USB 3 socket, in byte order ("usb1-port4+usb2-port1");
// the device's sysfs name when it has no port link.
std::string PlaceOf(const std::string& device) {
  const std::optional<std::string> port = RealPath(device + "/port");
  if (!port) return BaseName(device);
  const std::optional<std::string> peer = RealPath(*port + "/peer");
  if (!peer) return BaseName(*port);
  const std::string names[2] = {BaseName(*port), BaseName(*peer)};
  return std::min(names[0], names[1]) + "+" + std::max(names[0], names[1]);
}

// The bus and device number the kernel gave the device at its enumeration.
std::string EnumerationOf(const std::string& device) {
  const std::optional<std::string> bus = ReadAttribute(device + "/busnum");
  const std::optional<std::string> number = ReadAttribute(device + "/devnum");
  return bus && number ? *bus + "-" + *number : std::string();
}

struct sUsbSerial {
  std::string identity;
  std::string usbDevice;   // the USB device's sysfs name, e.g. 1-4.2
  std::string devicePath;  // its real path, /sys/devices/.../1-4.2
  std::string place;
  std::string enumeration;
};

// The USB interface behind a tty: from its device directory upwards, the
// first directory with a bInterfaceNumber; its parent, the USB device, has
// the vendor and product.
std::optional<sUsbSerial> ReadUsbSerial(const std::string& ttyEntry) {
  const std::optional<std::string> resolved = RealPath(ttyEntry + "/device");
  if (!resolved) {
    return std::nullopt;
  }
  std::string interface = *resolved;
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
  return sUsbSerial{"vid_" + *vendor + "&pid_" + *product + "&mi_" + *number, BaseName(device), device, PlaceOf(device),
                    EnumerationOf(device)};
}

struct sTtyInterface {
  std::string name;
  std::wstring devicePath;
  std::wstring usbDevice;
  std::wstring usbDevicePath;
  host::sUsbPlace place;
};

class cSysfsComPortInterfaces final : public host::cComPortInterfaces {
 public:
  cSysfsComPortInterfaces() : devFolder_(host::NativePathFromEnvironment(host::kDevVariable)) {
    std::string ttyClass = host::NativePathFromEnvironment(host::kSysfsVariable) + "/class/tty";
    for (std::string& name : host::ListSortedNames(ttyClass)) {
      if (std::optional<sUsbSerial> usb = ReadUsbSerial(ttyClass + "/" + name)) {
        std::string path = "\\\\?\\usb#" + usb->identity + "#" + name + "#" + kComPortClass;
        host::sUsbPlace place{host::FromNativePath(usb->place), host::FromNativePath(usb->enumeration)};
        ttys_.push_back({std::move(name), host::FromNativePath(path), host::FromNativePath(usb->usbDevice),
                         host::FromNativePath(usb->devicePath), std::move(place)});
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
  std::wstring ReadPortName(uint32_t index, const host::sDeviceInterfaceKey&) override {
    std::string port = devFolder_ + "/" + ttys_.at(index).name;
    return host::PathExists(port) ? host::FromNativePath(port) : std::wstring();
  }

  std::wstring ReadLocation(uint32_t index, const host::sDeviceInterfaceKey&) override {
    return ttys_.at(index).usbDevice;
  }

  host::sUsbPlace ReadPlace(uint32_t index, const host::sDeviceInterfaceKey&) override { return ttys_.at(index).place; }

  std::wstring ReadUsbDevicePath(uint32_t index, const host::sDeviceInterfaceKey&) override {
    return ttys_.at(index).usbDevicePath;
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

// The configured port at the module's place, whatever its identity (the boot
// downloader may show another product id and interface) and whatever the
// kernel named it.
sModulePort FindFollowedModule(const std::vector<sModulePort>& present, const sModulePort& followed, bool) {
  for (const sModulePort& module : present) {
    if (module.place == followed.place) return module;
  }
  return {};
}

sModulePort ModuleAfterWaitRanOut(const std::vector<sModulePort>& present, const sModulePort& followed, bool named) {
  return FindFollowedModule(present, followed, named);
}

bool IsPassingOpenRefusal(uint32_t error) {
  return error == platform::kErrorAccessDenied || error == platform::kErrorBusy;
}

bool IsDevicePath(const char* argument) {
  const std::string folder = NativePathFromEnvironment(kDevVariable) + "/";
  return std::string_view(argument).substr(0, folder.size()) == folder;
}

std::wstring PortFromArgument(const char* argument) { return FromNativePath(argument); }

bool NamesPort(const std::wstring& requested, const std::wstring& portName) {
  std::string wanted = ToNativePath(requested);
  if (wanted.find('/') == std::string::npos) wanted = NativePathFromEnvironment(kDevVariable) + "/" + wanted;
  if (wanted == ToNativePath(portName)) return true;
  char wantedNode[PATH_MAX], portNode[PATH_MAX];
  return realpath(wanted.c_str(), wantedNode) != nullptr &&
         realpath(ToNativePath(portName).c_str(), portNode) != nullptr && std::string_view(wantedNode) == portNode;
}

}  // namespace host
