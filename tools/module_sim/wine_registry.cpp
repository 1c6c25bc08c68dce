// Registry entries written with "wine regedit /S" and a DOS device symlink.
#include "tools/module_sim/wine_registry.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kComPortInterfaceClass = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr const char* kPortsSetupClass = "{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr const char* kMachine = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A .reg string value: backslashes and quotes escaped.
std::string RegString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) quoted += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
  return quoted + "\"";
}

// Where Windows keeps a device's location paths (DEVPKEY_Device_LocationPaths),
// below the device's key.
constexpr const char* kLocationPathsProperty = "\\Properties\\{a45c254e-df1c-4efd-8020-67d146a850e0}\\0025";

// A .reg device property that is a list of one string: the value type is the
// property's type (DEVPROP_TYPE_STRING_LIST) in the low half, the bytes are
// UTF-16LE, each string and the list ending in a NUL.
std::string RegPropertyStringList(const std::string& text) {
  constexpr const char* kDigits = "0123456789abcdef";
  std::string bytes = "hex(ffff2012):";
  for (unsigned char c : text) bytes += {kDigits[c >> 4], kDigits[c & 15], ',', '0', '0', ','};
  return bytes + "00,00,00,00";
}

// The location path Windows gives the serial interface of a USB device at
// location (1-4.2: bus 1, hub port 4, then its port 2): the root hub, each
// hub port on the way, then the interface.
std::string LocationPath(const std::string& location, unsigned interfaceNumber) {
  const size_t dash = location.find('-');
  const std::string bus = dash == std::string::npos ? "1" : location.substr(0, dash);
  std::string path = "PCIROOT(0)#PCI(1400)#USBROOT(" + bus + ")";
  std::string ports = location.substr(dash + 1);
  for (size_t dot; (dot = ports.find('.')) != std::string::npos; ports.erase(0, dot + 1)) {
    path += "#USB(" + ports.substr(0, dot) + ")";
  }
  return path + "#USB(" + ports + ")#USBMI(" + std::to_string(interfaceNumber) + ")";
}

}  // namespace

// Wine's mount manager recreates COM port links at start-up from the
// Software\Wine\Ports overrides, so the mapping goes there as well as into
// dosdevices.
cWineRegistration::cWineRegistration(const sWineOptions& wine, const sDeviceOptions& device,
                                     const std::string& identity, const cUsbModule& module, unsigned index)
    : wine_(wine),
      module_(module),
      comNumber_(wine.comNumber + index),
      hardwareId_(Upper(identity)),
      instance_("7&1d2a3b4c&" + std::to_string(index) + "&" + std::to_string(device.interfaceNumber)),
      importFile_("zntv-module-sim-" + std::to_string(index) + ".reg") {
  const fs::path portName = module.PortName(eStage::Diag);
  const std::string comName = "COM" + std::to_string(comNumber_);
  const std::string deviceKey = std::string(kMachine) + "Enum\\USB\\" + hardwareId_ + "\\" + instance_;
  Import("[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n" + RegString(comName) + "=" + RegString(portName.string()) +
         "\n\n[" + deviceKey + "]\n\"Class\"=\"Ports\"\n\"ClassGUID\"=" + RegString(kPortsSetupClass) +
         "\n\"Service\"=\"usbser\"\n\n[" + deviceKey + kLocationPathsProperty +
         "]\n@=" + RegPropertyStringList(LocationPath(PlaceOfModule(device, index).location, device.interfaceNumber)) +
         "\n\n[" + deviceKey + "\\Device Parameters]\n\"PortName\"=" + RegString(comName) + "\n");
  if (device.writeDescription && index == 0) WriteDescriptionFile(ProgramFilesOf32BitPrograms(), device);
}

// Where 32-bit installers put their files, and so where the updater looks:
// "Program Files (x86)" in a 64-bit prefix, "Program Files" in a 32-bit one.
fs::path cWineRegistration::ProgramFilesOf32BitPrograms() const {
  const fs::path drive = wine_.prefix / "drive_c";
  return fs::is_directory(drive / "Program Files (x86)") ? drive / "Program Files (x86)" : drive / "Program Files";
}

cWineRegistration::~cWineRegistration() {
  try {
    Detach();
  } catch (const std::exception&) {
    // Leaving the prefix behind with a stale entry is all that can happen.
  }
}

fs::path cWineRegistration::DosDevice() const {
  return wine_.prefix / "dosdevices" / ("com" + std::to_string(comNumber_));
}

std::string cWineRegistration::InterfaceKey() const {
  return std::string(kMachine) + "Control\\DeviceClasses\\" + kComPortInterfaceClass + "\\##?#USB#" + hardwareId_ +
         "#" + instance_ + "#" + kComPortInterfaceClass;
}

void cWineRegistration::Attach(const fs::path&, eStage stage) {
  std::error_code ignored;
  fs::remove(DosDevice(), ignored);
  fs::create_symlink(module_.PortName(stage), DosDevice());
  Import("[" + InterfaceKey() + "]\n\"DeviceInstance\"=" + RegString("USB\\" + hardwareId_ + "\\" + instance_) +
         "\n\n[" + InterfaceKey() + "\\#]\n\n[" + InterfaceKey() + "\\#\\Control]\n\"Linked\"=dword:00000001\n");
  attached_ = true;
}

void cWineRegistration::Detach() {
  if (!attached_) return;
  attached_ = false;
  Import("[-" + InterfaceKey() + "]\n");
}

void cWineRegistration::Import(const std::string& regText) const {
  const fs::path file = wine_.prefix / importFile_;
  {
    std::ofstream out(file, std::ios::binary);
    out << "REGEDIT4\n\n" << regText << "\n";
    if (!out) throw std::runtime_error("cannot write " + file.string());
  }
  const std::string prefixVariable = "WINEPREFIX=" + wine_.prefix.string();
  std::vector<std::string> variables = {prefixVariable, "WINEDEBUG=-all"};
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (text.rfind("WINEPREFIX=", 0) != 0 && text.rfind("WINEDEBUG=", 0) != 0) variables.push_back(text);
  }
  std::vector<char*> envp;
  for (auto& text : variables) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string wine = "wine", regedit = "regedit", silent = "/S", path = file.string();
  char* argv[] = {wine.data(), regedit.data(), silent.data(), path.data(), nullptr};
  // A Wine server started by regedit outlives it; it must not hold on to the
  // simulator's standard output, where the environment lines go.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, "wine", &quiet, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) throw std::runtime_error("cannot start wine regedit");
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("wine regedit failed");
}

}  // namespace sim
