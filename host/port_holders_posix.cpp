// A bounded look through /proc for the holders of a port: one readlinkat per
// descriptor, relative to each process's open fd directory.
#include "host/port_holders_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <memory>

#include "host/native_fs_posix.h"
#include "platform/handle.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

DirHandle OpenDirectoryAt(int parent, const std::string& name) {
  const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DirHandle dir(fdopendir(fd));
  if (!dir) close(fd);
  return dir;
}

// True when a descriptor of the process links to node; false as well when
// time runs out part way (checked every few hundred descriptors, for a
// process that holds very many).
bool HoldsNode(int processDir, const std::string& node, Clock::time_point deadline, bool& timedOut) {
  const DirHandle descriptors = OpenDirectoryAt(processDir, "fd");
  if (!descriptors) return false;
  char link[PATH_MAX];
  unsigned looked = 0;
  while (const dirent* entry = readdir(descriptors.get())) {
    if (++looked % 256 == 0 && Clock::now() >= deadline) {
      timedOut = true;
      return false;
    }
    const ssize_t length = readlinkat(dirfd(descriptors.get()), entry->d_name, link, sizeof link);
    if (length > 0 && node.compare(0, std::string::npos, link, static_cast<size_t>(length)) == 0) return true;
  }
  return false;
}

// The process's own name, as it set it (/proc/<pid>/comm without its line
// end); empty when it cannot be read.
std::string ProcessName(int processDir) {
  const platform::cHandle file(openat(processDir, "comm", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  char name[64];
  const ssize_t length = file.IsValid() ? read(file.Get(), name, sizeof name) : -1;
  if (length <= 0) return std::string();
  std::string text(name, static_cast<size_t>(length));
  if (text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

sPortHolders FindPortHolders(const std::string& procRoot, const std::string& node, Clock::duration budget) {
  const Clock::time_point deadline = Clock::now() + budget;
  sPortHolders holders;
  const DirHandle processes(opendir(procRoot.c_str()));
  if (!processes) return holders;
  const std::string self = std::to_string(getpid());
  while (const dirent* process = readdir(processes.get())) {
    if (!IsNumber(process->d_name) || self == process->d_name) continue;
    if (Clock::now() >= deadline) {
      holders.cutShort = true;
      break;
    }
    const platform::cHandle processDir(
        openat(dirfd(processes.get()), process->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!processDir.IsValid()) continue;
    const bool holds = HoldsNode(processDir.Get(), node, deadline, holders.cutShort);
    if (holders.cutShort) break;
    if (!holds) continue;
    const std::string name = ProcessName(processDir.Get());
    const std::string pid = std::string("pid ") + process->d_name;
    holders.names.push_back(name.empty() ? pid : name + " (" + pid + ")");
  }
  return holders;
}

}  // namespace host
