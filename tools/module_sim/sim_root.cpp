// Builds and tears down the module's sysfs entry, port link and description
// file in the layout the updater's Linux device lookup reads.
#include "tools/module_sim/sim_root.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace sim {

namespace fs = std::filesystem;

namespace {

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

std::string Hex2(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02x", value & 0xFFu);
  return text;
}

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary);
  file << content;
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

fs::path MakeTemporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / "zntv-sim.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  return pattern;
}

// Single quotes keep every character literal; a quote inside is closed,
// escaped and reopened.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

cSimRoot::cSimRoot(const sDeviceOptions& options) : options_(options) {
  if (options_.root.empty()) {
    root_ = MakeTemporaryRoot();
    removeAtExit_ = !options_.keepRoot;
  } else {
    root_ = fs::absolute(options_.root);
  }
  fs::create_directories(ProgramFiles());
  fs::create_directories(Sysfs() / "class" / "tty");
  fs::create_directories(DevDir());
  if (options_.writeDescription) WriteDescriptionFile(ProgramFiles(), options_);
  AddSerialConsoleDecoy();
}

cSimRoot::~cSimRoot() {
  std::error_code ignored;
  Detach();
  if (removeAtExit_) fs::remove_all(root_, ignored);
}

std::string cSimRoot::InterfaceIdentity() const {
  return "vid_" + Hex4(options_.vendorId) + "&pid_" + Hex4(options_.productId) + "&mi_" +
         Hex2(options_.interfaceNumber);
}

fs::path cSimRoot::UsbDeviceDir() const { return Sysfs() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / "1-2"; }

fs::path cSimRoot::InterfaceDir() const {
  return UsbDeviceDir() / ("1-2:1." + std::to_string(options_.interfaceNumber));
}

// What a USB serial driver leaves in sysfs: the USB device with its ids, a
// data interface without a port, the serial interface with its number, and the
// port's tty entry whose class link and device link lead back to it.
void cSimRoot::Attach(const fs::path& slavePath) {
  const fs::path device = UsbDeviceDir();
  fs::create_directories(device / "1-2:1.0");
  WriteFile(device / "idVendor", Hex4(options_.vendorId) + "\n");
  WriteFile(device / "idProduct", Hex4(options_.productId) + "\n");
  WriteFile(device / "1-2:1.0" / "bInterfaceNumber", "00\n");
  const fs::path port = InterfaceDir() / options_.entry;
  const fs::path tty = port / "tty" / options_.entry;
  fs::create_directories(tty);
  WriteFile(InterfaceDir() / "bInterfaceNumber", Hex2(options_.interfaceNumber) + "\n");
  WriteFile(tty / "dev", "188:0\n");
  fs::create_directory_symlink(fs::path("..") / ".." / ".." / options_.entry, tty / "device");
  fs::create_directory_symlink(fs::relative(tty, Sysfs() / "class" / "tty"),
                               Sysfs() / "class" / "tty" / options_.entry);
  fs::create_symlink(slavePath, PortName());
}

void cSimRoot::Detach() {
  std::error_code ignored;
  fs::remove(PortName(), ignored);
  fs::remove(Sysfs() / "class" / "tty" / options_.entry, ignored);
  fs::remove_all(UsbDeviceDir(), ignored);
}

void WriteDescriptionFile(const fs::path& programFiles, const sDeviceOptions& options) {
  const fs::path dir = programFiles / "Zantrova" / "Images" / options.configName;
  fs::create_directories(dir);
  std::string name = Hex4(options.vendorId) + Hex4(options.productId);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  name += ".did";
  WriteFile(dir / name, "modem,mi_00,mi_" + Hex2(options.interfaceNumber) + ",diag\r\n");
}

// Every Linux host has serial ports that are not USB interfaces; the lookup
// must pass over them.
void cSimRoot::AddSerialConsoleDecoy() const {
  const fs::path platformDevice = Sysfs() / "devices" / "platform" / "serial8250";
  const fs::path tty = platformDevice / "tty" / "ttyS0";
  fs::create_directories(tty);
  std::error_code ignored;
  fs::create_directory_symlink(fs::path("..") / ".." / ".." / "serial8250", tty / "device", ignored);
  fs::create_directory_symlink(fs::relative(tty, Sysfs() / "class" / "tty"), Sysfs() / "class" / "tty" / "ttyS0",
                               ignored);
}

void cSimRoot::PrintEnvironment(std::FILE* out) const {
  std::fprintf(out, "export PROGRAMFILES=%s\n", ShellQuoted(ProgramFiles().string()).c_str());
  std::fprintf(out, "export SYSFS_PATH=%s\n", ShellQuoted(Sysfs().string()).c_str());
  std::fprintf(out, "export DEV_PATH=%s\n", ShellQuoted(DevDir().string()).c_str());
  std::fflush(out);
}

}  // namespace sim
