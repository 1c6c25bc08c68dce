// Builds and tears down the modules' sysfs entries, port links and the
// description file in the layout the updater's Linux device lookup reads.
#include "tools/module_sim/sim_root.h"

#include <poll.h>
#include <sys/inotify.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/handle.h"
#include "tools/module_sim/responder.h"

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
  if (removeAtExit_) fs::remove_all(root_, ignored);
}

std::string cSimRoot::InterfaceIdentity() const {
  return "vid_" + Hex4(options_.vendorId) + "&pid_" + Hex4(options_.productId) + "&mi_" +
         Hex2(options_.interfaceNumber);
}

cUsbModule::cUsbModule(const cSimRoot& root, const sDeviceOptions& options, const sModulePlace& place, cWaiter& waiter,
                       unsigned idleTimeoutMs)
    : root_(root), options_(options), place_(place), waiter_(waiter), idleTimeoutMs_(idleTimeoutMs) {}

cUsbModule::~cUsbModule() { Detach(); }

fs::path cUsbModule::PortName(eStage stage) const { return root_.DevDir() / place_.entries[static_cast<int>(stage)]; }

fs::path cUsbModule::UsbDeviceDir() const {
  return root_.Sysfs() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / place_.location;
}

fs::path cUsbModule::InterfaceDir() const {
  return UsbDeviceDir() / (place_.location + ":1." + std::to_string(options_.interfaceNumber));
}

// What a USB serial driver leaves in sysfs: the USB device with its ids, a
// data interface without a port, the serial interface with its number, and the
// port's tty entry whose class link and device link lead back to it.
void cUsbModule::Attach(const fs::path& slavePath, eStage stage) {
  const std::string& entry = place_.entries[static_cast<int>(stage)];
  const fs::path device = UsbDeviceDir();
  const fs::path dataInterface = device / (place_.location + ":1.0");
  fs::create_directories(dataInterface);
  WriteFile(device / "idVendor", Hex4(options_.vendorId) + "\n");
  WriteFile(device / "idProduct", Hex4(options_.productId) + "\n");
  WriteFile(dataInterface / "bInterfaceNumber", "00\n");
  const fs::path port = InterfaceDir() / entry;
  const fs::path tty = port / "tty" / entry;
  fs::create_directories(tty);
  WriteFile(InterfaceDir() / "bInterfaceNumber", Hex2(options_.interfaceNumber) + "\n");
  WriteFile(tty / "dev", "188:0\n");
  fs::create_directory_symlink(fs::path("..") / ".." / ".." / entry, tty / "device");
  ClaimEntry(entry);
  attachedEntry_ = entry;
  fs::create_symlink(slavePath, root_.DevDir() / entry);
}

// The class entry is the claim: making the link fails while another module
// holds the name, and its removal is what the watch waits for.
void cUsbModule::ClaimEntry(const std::string& entry) {
  const fs::path classEntry = root_.Sysfs() / "class" / "tty" / entry;
  const fs::path target = fs::relative(InterfaceDir() / entry / "tty" / entry, classEntry.parent_path());
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(idleTimeoutMs_);
  for (;;) {
    platform::cHandle watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.IsValid() || inotify_add_watch(watch.Get(), classEntry.parent_path().c_str(), IN_DELETE) < 0) {
      throw std::runtime_error("cannot watch " + classEntry.parent_path().string());
    }
    std::error_code taken;
    fs::create_directory_symlink(target, classEntry, taken);
    if (!taken) return;
    if (taken != std::errc::file_exists) throw std::runtime_error("cannot make " + classEntry.string());
    ReportEvent("waits for " + entry + ", which another module holds");
    if (waiter_.Wait(watch.Get(), POLLIN, deadline) == 0) throw cRunEnded(eRunEnd::IdleTimeout);
  }
}

void cUsbModule::Detach() {
  if (attachedEntry_.empty()) return;
  std::error_code ignored;
  fs::remove(root_.DevDir() / attachedEntry_, ignored);
  fs::remove(root_.Sysfs() / "class" / "tty" / attachedEntry_, ignored);
  fs::remove_all(UsbDeviceDir(), ignored);
  attachedEntry_.clear();
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
