// Why a Linux serial port could not be opened: a device node the user may not
// use (named with its group, and how to join it), a port held by another
// program (named where /proc tells; usually a modem manager probing the new
// module), or a node that is gone.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "device/discovery/failure_hints.h"
#include "device/discovery/native_fs_posix.h"
#include "platform/errors.h"

namespace {

std::wstring Wide(const std::string& text) { return host::FromNativePath(text); }

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

bool IsNumber(const char* text) {
  for (; *text != '\0'; ++text) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

// "name (pid N)" of every other process with the node open, as far as /proc
// lets this user see.
std::string Holders(const std::string& node) {
  std::string holders;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return holders;
  const std::string self = std::to_string(getpid());
  while (const dirent* process = readdir(processes)) {
    if (!IsNumber(process->d_name) || self == process->d_name) continue;
    const std::string base = std::string("/proc/") + process->d_name;
    for (const std::string& fd : host::ListSortedNames(base + "/fd")) {
      if (RealPath(base + "/fd/" + fd) != node) continue;
      std::string name;
      std::getline(std::ifstream(base + "/comm"), name);
      holders += (holders.empty() ? "" : ", ") + name + " (pid " + process->d_name + ")";
      break;
    }
  }
  closedir(processes);
  return holders;
}

std::vector<std::wstring> PermissionHints(const std::wstring& portName) {
  const std::string port = host::ToNativePath(portName);
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
  return {first, second};
}

std::vector<std::wstring> HeldHints(const std::wstring& portName) {
  const std::string holders = Holders(RealPath(host::ToNativePath(portName)));
  return {portName + L" is held by another program" + (holders.empty() ? L"" : L": " + Wide(holders)),
          L"usually a modem manager probing the newly attached module; the section Modem managers of "
          L"zntv-upgrade(1) shows a udev rule that makes it leave the module alone"};
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
    default:
      return {UnexplainedPortHint(portName, error)};
  }
}
