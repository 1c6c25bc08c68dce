// Output files on Linux: a path is the bytes the environment or the command
// line gave; the file is opened for appending so that each write lands whole
// at its end.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/errors.h"
#include "platform/output_file.h"

namespace platform {

cOutputFile cOutputFile::NamedBy(const char* variable) {
  const char* path = std::getenv(variable);
  return path != nullptr && *path != '\0' ? AtPath(path) : cOutputFile();
}

cOutputFile cOutputFile::AtPath(const std::string& path) {
  cOutputFile file;
  file.name_ = path;
  file.file_ = cHandle(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
  if (!file.file_.IsValid()) file.error_ = GetLastErrorCode();
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
