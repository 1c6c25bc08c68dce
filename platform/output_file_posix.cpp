// Output files on Linux: a path is the bytes the environment or the command
// line gave. The file is opened without following a symbolic link and without
// waiting, checked, and only then emptied, so that a name planted by another
// user cannot make root overwrite a file of its choice or hang on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "platform/output_file.h"

namespace platform {

cOutputFile cOutputFile::NamedBy(const char* variable) {
  const char* path = std::getenv(variable);
  return path != nullptr && *path != '\0' ? AtPath(path) : cOutputFile();
}

namespace {

// What makes an opened file unfit to be written; empty when it is fit.
std::string RefusalOf(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  if (status.st_nlink != 1) return "it has " + std::to_string(status.st_nlink) + " links";
  if (status.st_uid != geteuid()) return "it belongs to another user (uid " + std::to_string(status.st_uid) + ")";
  return std::string();
}

}  // namespace

cOutputFile cOutputFile::AtPath(const std::string& path) {
  cOutputFile file;
  file.name_ = path;
  cHandle fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd.IsValid()) {
    const int error = errno;
    file.error_ = GetLastErrorCode();
    // O_NOFOLLOW on a link, and a FIFO or socket with no reader.
    if (error == ELOOP) file.refusal_ = "it is a symbolic link";
    if (error == ENXIO) file.refusal_ = "it is not a regular file";
    return file;
  }
  struct stat status {};
  if (fstat(fd.Get(), &status) != 0) {
    file.error_ = GetLastErrorCode();
    return file;
  }
  file.refusal_ = RefusalOf(status);
  if (!file.refusal_.empty()) return file;
  const int flags = fcntl(fd.Get(), F_GETFL);
  if (ftruncate(fd.Get(), 0) != 0 || fchmod(fd.Get(), 0600) != 0 || flags < 0 ||
      fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    file.error_ = GetLastErrorCode();
    return file;
  }
  file.file_ = std::move(fd);
  return file;
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
