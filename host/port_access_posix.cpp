// Why a Linux serial port could not be opened: a device node the user may not
// use (named with its group, how to join it and the udev rules that grant
// it), a port held by another program (named where /proc tells; usually a
// modem manager probing the new module, and when it is ModemManager, how to
// stop it or make it leave the port alone), a node that is gone, or one that
// is no device at all.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <string>

#include "host/failure_hints.h"
#include "host/native_fs_posix.h"
#include "host/port_holders_posix.h"
#include "platform/errors.h"

namespace host {

namespace {

// About what a person waits for a hint without wondering.
constexpr std::chrono::milliseconds kHolderLookBudget{500};

std::wstring Wide(const std::string& text) { return FromNativePath(text); }

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string ModeText(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISLNK(mode) ? "l" : S_ISDIR(mode) ? "d" : "-";
  const char* const letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
  return text;
}

std::string GroupName(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry != nullptr ? std::string(entry->gr_name) : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? std::string(entry->pw_name) : std::to_string(uid);
}

// The holders of a port, looked for once per run and port: the three phases
// may each fail to open the same port, and the look costs up to its budget.
const sPortHolders& HoldersOf(const std::string& node) {
  static std::map<std::string, sPortHolders> found;
  auto known = found.find(node);
  if (known == found.end()) known = found.emplace(node, FindPortHolders("/proc", node, kHolderLookBudget)).first;
  return known->second;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::vector<std::wstring> PermissionHints(const std::wstring& portName) {
  const std::string port = ToNativePath(portName);
  const std::string node = RealPath(port);
  struct stat info {};
  if (stat(node.c_str(), &info) != 0) return {L"permission denied on " + portName};
  const std::string group = GroupName(info.st_gid);
  const std::string where = node == port ? std::string() : "device node " + node + ": ";
  std::wstring first =
      L"permission denied on " + portName + L" (" +
      Wide(where + "owner " + UserName(info.st_uid) + ", group " + group + ", mode " + ModeText(info.st_mode)) + L")";
  const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  std::wstring second = groupMayUse ? L"members of group " + Wide(group) + L" may use it: sudo usermod -aG " +
                                          Wide(group) + L" $USER, then log in again"
                                    : L"not even its group " + Wide(group) +
                                          L" may read and write it; a udev rule for the module can grant access";
  return {first, second,
          L"or give the module's ports to group dialout and the user at the seat with the udev rules of "
          L"zntv-upgrade --udev-rules, in /etc/udev/rules.d/70-zntv-upgrade.rules"};
}

// The name ModemManager runs under (its /proc comm).
constexpr const char* kModemManagerName = "ModemManager";

bool HeldByModemManager(const sPortHolders& holders) {
  const std::string prefix = std::string(kModemManagerName) + " (";
  for (const std::string& name : holders.names) {
    if (name.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::vector<std::wstring> HeldHints(const std::wstring& portName) {
  const sPortHolders& holders = HoldersOf(RealPath(ToNativePath(portName)));
  std::vector<std::wstring> hints = {portName + L" is held by another program" +
                                     (holders.names.empty() ? L"" : L": " + Wide(Joined(holders.names)))};
  if (holders.cutShort) {
    hints.push_back(L"the look through /proc for the programs holding it stopped after " +
                    std::to_wstring(kHolderLookBudget.count()) + L" ms; more may hold it");
  }
  hints.push_back(HeldByModemManager(holders)
                      ? L"ModemManager is probing the module: stop it while upgrading (systemctl stop ModemManager), "
                        L"or make it leave the port alone with the udev rules of zntv-upgrade --udev-rules "
                        L"(ENV{ID_MM_PORT_IGNORE}=\"1\")"
                      : L"usually a modem manager probing the newly attached module; the section Modem managers of "
                        L"zntv-upgrade(1) shows the udev rules that make it leave the port alone");
  return hints;
}

}  // namespace

std::vector<std::wstring> PortFailureHints(const std::wstring& portName, uint32_t error) {
  switch (error) {
    case platform::kErrorAccessDenied:
      return PermissionHints(portName);
    case platform::kErrorBusy:
      return HeldHints(portName);
    case platform::kErrorFileNotFound:
    case platform::kErrorDeviceNotConnected:
      return {VanishedPortHint(portName)};
    case ENOTTY:  // refused before the open: not a character device
      return {portName + L" is not a serial port's device node (not a character device); it was not opened"};
    default:
      return {UnexplainedPortHint(portName, error)};
  }
}

}  // namespace host
