// Output files on Linux: a path is the bytes the environment or the command
// line gave. Its folder is reached without following a symbolic link and only
// through directories no other user can change; the file itself is looked at
// before it is opened, so that a device node or a FIFO planted in its place is
// never opened (opening a serial line raises its modem lines), and it is
// opened without following a link and without waiting, checked again, and
// only then emptied, so that a name planted by another user cannot make root
// overwrite a file of its choice or hang on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "platform/output_file.h"
#include "platform/safe_path_posix.h"

namespace platform {

sOpenedFile cOutputFile::NamedBy(const char* variable) {
  const char* path = std::getenv(variable);
  return path != nullptr && *path != '\0' ? AtPath(path) : sOpenedFile();
}

namespace {

constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// What makes a file unfit to be written; empty when it is fit.
std::string RefusalOf(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  if (status.st_nlink != 1) return "it has " + std::to_string(status.st_nlink) + " links";
  if (status.st_uid != geteuid()) return "it belongs to another user (uid " + std::to_string(status.st_uid) + ")";
  return std::string();
}

// The folder part of a path ("." when there is none) and its last component.
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name in a checked folder opened for writing: an existing name is looked
// at first and refused without being opened; a missing one is created, and
// only while it is still missing. Invalid with errno set, or with the refusal.
cHandle OpenInFolder(const cHandle& folder, const std::string& name, std::string& refusal) {
  struct stat status {};
  const bool exists = fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return cHandle();
  refusal = exists ? RefusalOf(status) : std::string();
  if (!refusal.empty()) return cHandle();
  return cHandle(openat(folder.Get(), name.c_str(), exists ? kOpenFlags : kOpenFlags | O_CREAT | O_EXCL, 0600));
}

// Empties the opened file, makes it its owner's alone and lets writes wait.
bool Prepare(const cHandle& fd) {
  const int flags = fcntl(fd.Get(), F_GETFL);
  return ftruncate(fd.Get(), 0) == 0 && fchmod(fd.Get(), 0600) == 0 && flags >= 0 &&
         fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

sOpenedFile cOutputFile::AtPath(const std::string& path) {
  sOpenedFile opened;
  opened.file.name_ = path;
  std::string folderPath, name;
  SplitPath(path, folderPath, name);
  const sCheckedFolder folder = OpenCheckedFolder(folderPath, eMissingFolders::Fail);
  errno = folder.error;
  opened.refusal = folder.refusal;
  cHandle fd = folder.handle.IsValid() ? OpenInFolder(folder.handle, name, opened.refusal) : cHandle();
  if (!opened.refusal.empty()) return opened;
  struct stat status {};
  if (!fd.IsValid() || fstat(fd.Get(), &status) != 0) {
    opened.status = LastErrorStatus();
    return opened;
  }
  // Checked again as opened: the name may have been replaced in between.
  opened.refusal = RefusalOf(status);
  if (!opened.refusal.empty()) return opened;
  if (!Prepare(fd)) {
    opened.status = LastErrorStatus();
    return opened;
  }
  opened.file.file_ = std::move(fd);
  return opened;
}

bool cOutputFile::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(file_.Get(), bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace platform
