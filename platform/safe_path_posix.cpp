// Walks a path one directory at a time on handles, so that what was checked
// is what is used: a directory renamed or replaced after its check is not
// reached again by name.
#include "platform/safe_path_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace platform {
namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Why a directory could be changed by a user other than root and us; empty
// when it cannot.
std::string FolderRefusal(const std::string& name, const struct stat& status) {
  if (status.st_uid != 0 && status.st_uid != geteuid()) {
    return "the folder " + name + " belongs to another user (uid " + std::to_string(status.st_uid) + ")";
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
    return "the folder " + name + " can be written by other users";
  }
  return std::string();
}

// The path made absolute against the current directory, which the system
// gives without symbolic links.
bool MakeAbsolute(const std::string& path, std::string& absolute) {
  if (!path.empty() && path.front() == '/') {
    absolute = path;
    return true;
  }
  char current[PATH_MAX];
  if (getcwd(current, sizeof current) == nullptr) return false;
  absolute = std::string(current) + "/" + path;
  return true;
}

// One step down from folder to name: the directory's handle, made first when
// missing and asked to; on failure the reason is left in result.
cHandle Descend(const cHandle& folder, const std::string& name, const std::string& shown, eMissingFolders missing,
                sCheckedFolder& result) {
  cHandle next(openat(folder.Get(), name.c_str(), kFolderFlags));
  if (!next.IsValid() && errno == ENOENT && missing == eMissingFolders::Make &&
      (mkdirat(folder.Get(), name.c_str(), 0700) == 0 || errno == EEXIST)) {
    next = cHandle(openat(folder.Get(), name.c_str(), kFolderFlags));
  }
  if (next.IsValid()) return next;
  result.error = errno;
  struct stat status {};
  if (result.error == ENOTDIR && fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(status.st_mode)) {
    result.refusal = "the folder " + shown + " is a symbolic link";
  }
  return cHandle();
}

// The reason a folder just reached may not be used, or a failure to look.
bool Admit(const cHandle& folder, const std::string& shown, sCheckedFolder& result) {
  struct stat status {};
  if (fstat(folder.Get(), &status) != 0) {
    result.error = errno;
    return false;
  }
  result.refusal = FolderRefusal(shown, status);
  return result.refusal.empty();
}

}  // namespace

sCheckedFolder OpenCheckedFolder(const std::string& path, eMissingFolders missing) {
  sCheckedFolder result;
  std::string absolute;
  if (!MakeAbsolute(path, absolute)) {
    result.error = errno;
    return result;
  }
  std::string shown = "/";
  cHandle folder(open("/", kFolderFlags));
  if (!folder.IsValid()) {
    result.error = errno;
    return result;
  }
  if (!Admit(folder, shown, result)) return result;
  std::string_view rest(absolute);
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('/'), rest.size());
    const std::string name(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (name.empty() || name == ".") continue;
    shown += (shown.back() == '/' ? "" : "/") + name;
    folder = Descend(folder, name, shown, missing, result);
    if (!folder.IsValid() || !Admit(folder, shown, result)) return result;
  }
  result.handle = std::move(folder);
  return result;
}

std::string FailureOf(const sCheckedFolder& folder) {
  if (folder.handle.IsValid()) return std::string();
  return folder.refusal.empty() ? std::strerror(folder.error) : folder.refusal;
}

}  // namespace platform
