// Linux file-system services: $PROGRAMFILES, sorted directory listings with a
// small wildcard match, and whole files read into memory.
#include "host/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "host/native_fs_posix.h"
#include "platform/errors.h"
#include "platform/handle.h"

namespace host {
namespace {

constexpr uint32_t kErrorPathNotFound = 3;    // ERROR_PATH_NOT_FOUND
constexpr uint32_t kErrorAccessDenied = 5;    // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorFileInvalid = 1006;  // ERROR_FILE_INVALID: nothing to view

uint32_t ErrorCodeOf(int error) {
  switch (error) {
    case ENOENT:
      return platform::kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case ENOMEM:
      return platform::kErrorNotEnoughMemory;
    default:
      return platform::kErrorGenFailure;
  }
}

// "?" matches exactly one character, "*" any run of characters.
bool MatchesWildcard(std::wstring_view name, std::wstring_view pattern) {
  if (pattern.empty()) {
    return name.empty();
  }
  if (pattern.front() == L'*') {
    for (size_t skip = 0; skip <= name.size(); ++skip) {
      if (MatchesWildcard(name.substr(skip), pattern.substr(1))) {
        return true;
      }
    }
    return false;
  }
  bool first = !name.empty() && (pattern.front() == L'?' || pattern.front() == name.front());
  return first && MatchesWildcard(name.substr(1), pattern.substr(1));
}

}  // namespace

const wchar_t kPathSeparator = L'/';

bool GetProgramFilesFolder(std::wstring& folder) {
  folder = FromNativePath(NativePathFromEnvironment(kProgramFilesVariable));
  return true;
}

std::vector<sDirectoryEntry> ListDirectory(const std::wstring& pattern, eListing) {
  size_t split = pattern.rfind(kPathSeparator);
  std::wstring folder = split == std::wstring::npos ? L"." : pattern.substr(0, split + 1);
  std::wstring wildcard = split == std::wstring::npos ? pattern : pattern.substr(split + 1);
  std::string nativeFolder = ToNativePath(folder);
  std::vector<sDirectoryEntry> entries;
  for (const std::string& name : ListSortedNames(nativeFolder)) {
    std::wstring wideName = FromNativePath(name);
    if (MatchesWildcard(wideName, wildcard)) {
      entries.push_back({std::move(wideName), IsDirectory(nativeFolder + "/" + name)});
    }
  }
  return entries;
}

struct cReadOnlyFile::sImpl {
  platform::cHandle file;
  std::vector<uint8_t> bytes;
};

cReadOnlyFile::cReadOnlyFile() : impl_(std::make_unique<sImpl>()) {}
cReadOnlyFile::~cReadOnlyFile() = default;

// Looked at before it is opened, through a handle that only names it: what
// is not a regular file (a link to a serial line, whose open would raise its
// modem lines, or a FIFO, whose open would wait for a writer) is refused
// unopened, as Windows refuses to open a directory as a file. The file is
// then opened without waiting and must be the one looked at.
uint32_t cReadOnlyFile::Open(const std::wstring& path) {
  const std::string nativePath = ToNativePath(path);
  const platform::cHandle place(open(nativePath.c_str(), O_PATH | O_CLOEXEC));
  struct stat looked {};
  if (!place.IsValid() || fstat(place.Get(), &looked) != 0) {
    return ErrorCodeOf(errno);
  }
  if (!S_ISREG(looked.st_mode)) {
    return kErrorAccessDenied;
  }
  impl_->file = platform::cHandle(open(nativePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat opened {};
  if (!impl_->file.IsValid() || fstat(impl_->file.Get(), &opened) != 0) {
    return ErrorCodeOf(errno);
  }
  if (opened.st_dev != looked.st_dev || opened.st_ino != looked.st_ino) {
    impl_->file.Close();
    return kErrorAccessDenied;  // replaced after it was looked at
  }
  posix_fadvise(impl_->file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return platform::kErrorSuccess;
}

bool cReadOnlyFile::GetSize(uint64_t& size) const {
  struct stat status {};
  if (fstat(impl_->file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  size = static_cast<uint64_t>(status.st_size);
  return true;
}

// Read rather than mapped: a file cut short while it is read then ends the
// text early instead of faulting.
uint32_t cReadOnlyFile::View(size_t size) {
  if (size == 0) {
    return kErrorFileInvalid;
  }
  std::vector<uint8_t>& bytes = impl_->bytes;
  bytes.resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(impl_->file.Get(), bytes.data() + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return ErrorCodeOf(errno);
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  return done == 0 ? kErrorFileInvalid : platform::kErrorSuccess;
}

const uint8_t* cReadOnlyFile::Data() const { return impl_->bytes.data(); }
size_t cReadOnlyFile::Size() const { return impl_->bytes.size(); }

}  // namespace host
