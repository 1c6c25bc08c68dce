// Builds and tears down the modules' sysfs entries, port links and the
// description file in the layout the updater's Linux device lookup reads.
#include "tools/module_sim/sim_root.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "platform/handle.h"
#include "platform/safe_path_posix.h"
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

// The simulator makes and removes entries below its root by name (a port
// name link in its dev/, for one): a root that another user could change, or
// rename and replace with a link, would let that user choose what root's
// simulator removes. So the folders above it must pass the trace's checks,
// and the root itself must be the running user's own, mode 0700.
platform::cHandle OpenFolderAbove(const fs::path& folder, const std::string& what) {
  platform::sCheckedFolder checked = platform::OpenCheckedFolder(folder.string(), platform::eMissingFolders::Fail);
  if (!checked.handle.IsValid()) throw std::runtime_error(what + ": " + platform::FailureOf(checked));
  return std::move(checked.handle);
}

fs::path MakeTemporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path folder = tmp && *tmp ? tmp : "/tmp";
  OpenFolderAbove(folder, "cannot create a temporary directory in " + folder.string());
  std::string pattern = (folder / "zntv-sim.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  return pattern;
}

// Why a root that exists may not be used; empty when it may.
std::string RootRefusal(const struct stat& status, const fs::path& root) {
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is not a directory";
  if (status.st_uid != geteuid()) return "it belongs to another user (uid " + std::to_string(status.st_uid) + ")";
  if ((status.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return std::string("it has mode ") + mode + ", not 0700";
  }
  std::error_code error;
  if (!fs::is_empty(root, error) || error) return "it is not empty";
  return std::string();
}

// The root --root names, made (mode 0700) when it does not exist yet.
fs::path ClaimGivenRoot(const fs::path& given) {
  fs::path root = fs::absolute(given).lexically_normal();
  if (!root.has_filename()) root = root.parent_path();
  const std::string what = "--root " + given.string();
  const platform::cHandle above = OpenFolderAbove(root.parent_path(), what);
  const std::string name = root.filename().string();
  struct stat status {};
  if ((mkdirat(above.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) ||
      fstatat(above.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }
  const std::string refusal = RootRefusal(status, root);
  if (!refusal.empty()) throw std::runtime_error(what + ": " + refusal);
  return root;
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
    root_ = ClaimGivenRoot(options_.root);
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

namespace {

// A location of the kernel's shape, <bus>-<port>[.<port>...]: its bus, and
// the hub it hangs from with its port there. Nothing for another name.
struct sHubPort {
  std::string bus;
  std::string hub;  // "usb<bus>" for a root hub port, else the hub's sysfs name
  std::string port;
};

std::optional<sHubPort> HubPortOf(const std::string& location) {
  const size_t dash = location.find('-');
  const size_t dot = location.rfind('.');
  const auto digits = [](const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos && text.front() != '.' &&
           text.back() != '.' && text.find("..") == std::string::npos;
  };
  if (dash == std::string::npos || !digits(location.substr(0, dash)) || location.find('.') < dash ||
      !digits(location.substr(dash + 1))) {
    return std::nullopt;
  }
  const std::string bus = location.substr(0, dash);
  if (dot == std::string::npos) return sHubPort{bus, "usb" + bus, location.substr(dash + 1)};
  return sHubPort{bus, location.substr(0, dot), location.substr(dot + 1)};
}

// The hub port the location is plugged into, as the hub's interface holds it
// (usb1/1-0:1.0/usb1-port4 for 1-4, usb1/1-4/1-4:1.0/1-4-port2 for 1-4.2);
// empty for a location of another shape.
fs::path HubPortDir(const fs::path& busDir, const std::string& location) {
  const std::optional<sHubPort> port = HubPortOf(location);
  if (!port) return {};
  const bool rootHub = port->hub.rfind("usb", 0) == 0;
  const fs::path hubDevice = rootHub ? busDir : busDir / port->hub;
  const std::string hubInterface = (rootHub ? port->bus + "-0" : port->hub) + ":1.0";
  return hubDevice / hubInterface / (port->hub + "-port" + port->port);
}

}  // namespace

fs::path cUsbModule::UsbDeviceDir(const std::string& location) const {
  const std::optional<sHubPort> port = HubPortOf(location);
  return root_.Sysfs() / "devices" / "pci0000:00" / "0000:00:14.0" / ("usb" + (port ? port->bus : "1")) / location;
}

void cUsbModule::LinkHubPort(const fs::path& device, const std::string& location) const {
  const fs::path port = HubPortDir(device.parent_path(), location);
  if (port.empty()) return;
  fs::create_directories(port);
  fs::create_directory_symlink(fs::relative(port, device), device / "port");
}

// Both halves of a USB 3 socket, each linked to the other by `peer`.
void cUsbModule::LinkTwinPorts() const {
  if (place_.peer.empty()) return;
  const fs::path ports[2] = {HubPortDir(UsbDeviceDir(place_.location).parent_path(), place_.location),
                             HubPortDir(UsbDeviceDir(place_.peer).parent_path(), place_.peer)};
  if (ports[0].empty() || ports[1].empty()) throw std::runtime_error("--peer needs locations of the form 1-4 or 1-4.2");
  for (int side = 0; side < 2; ++side) {
    fs::create_directories(ports[side]);
    std::error_code linked;  // already there from an earlier enumeration
    fs::create_directory_symlink(fs::relative(ports[1 - side], ports[side]), ports[side] / "peer", linked);
  }
}

// What a USB serial driver leaves in sysfs: the USB device with its ids, bus
// and device number and hub port, a data interface without a port, the
// serial interface with its number, and the port's tty entry whose class link
// and device link lead back to it (two entries on the one line for a module
// given a second tty).
void cUsbModule::Attach(const fs::path& slavePath, eStage stage) {
  const std::string& entry = place_.entries[static_cast<int>(stage)];
  const std::string& location = place_.locations[static_cast<int>(stage)];
  const fs::path device = UsbDeviceDir(location);
  const fs::path dataInterface = device / (location + ":1.0");
  const fs::path interface = device / (location + ":1." + std::to_string(options_.interfaceNumber));
  fs::create_directories(dataInterface);
  WriteFile(device / "idVendor", Hex4(options_.vendorId) + "\n");
  WriteFile(device / "idProduct", Hex4(options_.productId) + "\n");
  const std::optional<sHubPort> hubPort = HubPortOf(location);
  WriteFile(device / "busnum", (hubPort ? hubPort->bus : "1") + "\n");
  // The kernel numbers each enumeration afresh on its bus.
  WriteFile(device / "devnum", std::to_string(2 + place_.index + options_.modules * enumerations_++) + "\n");
  LinkTwinPorts();
  LinkHubPort(device, location);
  WriteFile(dataInterface / "bInterfaceNumber", "00\n");
  fs::create_directories(interface);
  WriteFile(interface / "bInterfaceNumber", Hex2(options_.interfaceNumber) + "\n");
  attachedDevice_ = device;
  AddTty(interface, entry, slavePath);
  if (stage == eStage::Diag && place_.index == 0 && !options_.secondEntry.empty()) {
    AddTty(interface, options_.secondEntry, slavePath);
  }
}

void cUsbModule::AddTty(const fs::path& interface, const std::string& entry, const fs::path& slavePath) {
  const fs::path tty = interface / entry / "tty" / entry;
  fs::create_directories(tty);
  WriteFile(tty / "dev", "188:0\n");
  fs::create_directory_symlink(fs::path("..") / ".." / ".." / entry, tty / "device");
  ClaimEntry(entry, interface);
  attachedEntries_.push_back(entry);
  fs::create_symlink(slavePath, root_.DevDir() / entry);
}

// The class entry is the claim: making the link fails while another module
// holds the name, and its removal is what the watch waits for.
void cUsbModule::ClaimEntry(const std::string& entry, const fs::path& interface) {
  const fs::path classEntry = root_.Sysfs() / "class" / "tty" / entry;
  const fs::path target = fs::relative(interface / entry / "tty" / entry, classEntry.parent_path());
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
  std::error_code ignored;
  for (const std::string& entry : attachedEntries_) {
    fs::remove(root_.DevDir() / entry, ignored);
    fs::remove(root_.Sysfs() / "class" / "tty" / entry, ignored);
  }
  if (!attachedDevice_.empty()) fs::remove_all(attachedDevice_, ignored);
  attachedEntries_.clear();
  attachedDevice_.clear();
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
