// The fake device tree of the Linux lookup tests.
#include "sysfs_tree_posix.h"

#include <stdlib.h>

namespace fs = std::filesystem;

namespace {

void Restore(const char* name, bool had, const std::string& value) {
  had ? setenv(name, value.c_str(), 1) : unsetenv(name);
}

}  // namespace

cSysfsTree::cSysfsTree() {
  if (const char* old = getenv("SYSFS_PATH")) hadSysfs_ = true, oldSysfs_ = old;
  if (const char* old = getenv("DEV_PATH")) hadDev_ = true, oldDev_ = old;
  setenv("SYSFS_PATH", (tree_.Root() / "sys").c_str(), 1);
  setenv("DEV_PATH", (tree_.Root() / "dev").c_str(), 1);
  tree_.MakeFolder("sys/class/tty");
  tree_.MakeFolder("dev");
}

cSysfsTree::~cSysfsTree() {
  Restore("SYSFS_PATH", hadSysfs_, oldSysfs_);
  Restore("DEV_PATH", hadDev_, oldDev_);
}

fs::path cSysfsTree::UsbDeviceFolder(const std::string& usbDevice) {
  return fs::path("sys/devices/pci0000:00/0000:00:14.0/usb1") / usbDevice;
}

// The lookup reads only a port's name and its links: every port sits in one
// folder here.
fs::path cSysfsTree::HubPortFolder(const std::string& hubPort) {
  return fs::path("sys/devices/pci0000:00/0000:00:14.0/ports") / hubPort;
}

void cSysfsTree::PlugIntoHubPort(const std::string& usbDevice, const std::string& hubPort, const std::string& peer) {
  tree_.MakeFolder(HubPortFolder(hubPort));
  fs::create_directory_symlink(
      fs::relative(tree_.Root() / HubPortFolder(hubPort), tree_.Root() / UsbDeviceFolder(usbDevice)),
      tree_.Root() / UsbDeviceFolder(usbDevice) / "port");
  if (peer.empty()) return;
  tree_.MakeFolder(HubPortFolder(peer));
  std::error_code linked;  // the twins may be linked already
  fs::create_directory_symlink(fs::path("..") / peer, tree_.Root() / HubPortFolder(hubPort) / "peer", linked);
  fs::create_directory_symlink(fs::path("..") / hubPort, tree_.Root() / HubPortFolder(peer) / "peer", linked);
}

void cSysfsTree::SetDeviceNumber(const std::string& usbDevice, const std::string& busnum, const std::string& devnum) {
  tree_.Write(UsbDeviceFolder(usbDevice) / "busnum", busnum + "\n");
  tree_.Write(UsbDeviceFolder(usbDevice) / "devnum", devnum + "\n");
}

fs::path cSysfsTree::UsbInterfaceFolder(const sUsbInterface& usb) const {
  fs::path device = UsbDeviceFolder(usb.usbDevice);
  tree_.Write(device / "idVendor", std::string(usb.idVendor) + "\n");
  tree_.Write(device / "idProduct", std::string(usb.idProduct) + "\n");
  fs::path interface = device / (std::string(usb.usbDevice) + ":1." + usb.bInterfaceNumber);
  tree_.Write(interface / "bInterfaceNumber", std::string(usb.bInterfaceNumber) + "\n");
  return interface;
}

void cSysfsTree::AddClassEntry(const std::string& tty, const fs::path& ttyFolder, const fs::path& device,
                               bool withNode) {
  tree_.MakeFolder(ttyFolder);
  fs::create_directory_symlink(fs::relative(tree_.Root() / device, tree_.Root() / ttyFolder),
                               tree_.Root() / ttyFolder / "device");
  fs::create_directory_symlink(fs::path("../..") / fs::relative(ttyFolder, "sys"),
                               tree_.Root() / "sys/class/tty" / tty);
  if (withNode) {
    tree_.Write(fs::path("dev") / tty, "");
  }
}

void cSysfsTree::AddUsbSerial(const std::string& tty, const sUsbInterface& usb, bool withNode) {
  fs::path port = UsbInterfaceFolder(usb) / tty;
  tree_.MakeFolder(port);
  AddClassEntry(tty, port / "tty" / tty, port, withNode);
}

void cSysfsTree::AddAcm(const std::string& tty, const sUsbInterface& usb, bool withNode) {
  fs::path interface = UsbInterfaceFolder(usb);
  AddClassEntry(tty, interface / "tty" / tty, interface, withNode);
}

void cSysfsTree::AddPlatformSerial(const std::string& tty) {
  fs::path device = "sys/devices/platform/serial8250";
  tree_.MakeFolder(device);
  AddClassEntry(tty, device / "tty" / tty, device, true);
}
