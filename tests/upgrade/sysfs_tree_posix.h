// A fake Linux device tree in a scratch directory, laid out as the kernel lays
// out USB serial ttys: <root>/sys with devices/ and class/tty/, <root>/dev with
// the device nodes; SYSFS_PATH and DEV_PATH point at it while it lives.
#pragma once
#include <string>

#include "temp_tree.h"

struct sUsbInterface {
  const char* idVendor;
  const char* idProduct;
  const char* bInterfaceNumber;
  const char* usbDevice = "1-1";  // the USB device's sysfs name
};

class cSysfsTree {
 public:
  cSysfsTree();
  ~cSysfsTree();
  cSysfsTree(const cSysfsTree&) = delete;
  cSysfsTree& operator=(const cSysfsTree&) = delete;

  // A usb-serial port: the tty's device is the port, a child of the interface.
  void AddUsbSerial(const std::string& tty, const sUsbInterface& usb, bool withNode = true);
  // A cdc-acm port: the tty's device is the interface itself.
  void AddAcm(const std::string& tty, const sUsbInterface& usb, bool withNode = true);
  // A tty that no USB interface stands behind.
  void AddPlatformSerial(const std::string& tty);
  // Plugs the USB device (made by AddUsbSerial or AddAcm) into the hub port
  // hubPort, whose USB 3 twin is peer (none when empty), as the kernel links
  // them: the device's `port` and the ports' `peer`.
  void PlugIntoHubPort(const std::string& usbDevice, const std::string& hubPort, const std::string& peer = "");
  // The device's bus and device number of its enumeration.
  void SetDeviceNumber(const std::string& usbDevice, const std::string& busnum, const std::string& devnum);

  std::string Dev(const std::string& tty) const { return (tree_.Root() / "dev" / tty).string(); }
  const cTempTree& Tree() const { return tree_; }

 private:
  static std::filesystem::path UsbDeviceFolder(const std::string& usbDevice);
  static std::filesystem::path HubPortFolder(const std::string& hubPort);
  std::filesystem::path UsbInterfaceFolder(const sUsbInterface& usb) const;
  void AddClassEntry(const std::string& tty, const std::filesystem::path& ttyFolder,
                     const std::filesystem::path& device, bool withNode);

  cTempTree tree_;
  std::string oldSysfs_, oldDev_;
  bool hadSysfs_ = false, hadDev_ = false;
};
