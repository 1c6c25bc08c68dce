// UTF-8 paths and directory queries for the Linux layers of the upgrade driver.
#include "host/native_fs_posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "text/utf8.h"

namespace host {
namespace {

constexpr uint32_t kEscapeBase = 0xDC00;

}  // namespace

std::string ToNativePath(const std::wstring& path) {
  std::string out;
  for (wchar_t wc : path) {
    auto c = static_cast<uint32_t>(wc);
    if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else {
      text::AppendUtf8(out, c);
    }
  }
  return out;
}

std::wstring FromNativePath(const std::string& path) {
  std::wstring out;
  for (size_t i = 0; i < path.size();) {
    char32_t c = 0;
    size_t length = text::DecodeUtf8(path, i, c);
    if (length == 0) {
      c = kEscapeBase + static_cast<uint8_t>(path[i]);
      length = 1;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += length;
  }
  return out;
}

// An empty value is taken as unset: an empty folder would otherwise read as
// the current directory (or as the root, for the sysfs and device folders),
// which no one means.
std::string NativePathFromEnvironment(const sPathVariable& variable) {
  const char* value = std::getenv(variable.name);
  if (value == nullptr) return variable.fallback;
  std::string_view path(value);
  if (variable.trimmed) {
    constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
    path.remove_prefix(std::min(path.size(), path.find_first_not_of(kWhiteSpace)));
    path.remove_suffix(path.size() - (path.find_last_not_of(kWhiteSpace) + 1));
  }
  return path.empty() ? std::string(variable.fallback) : std::string(path);
}

std::vector<std::string> ListSortedNames(const std::string& folder) {
  std::vector<std::string> names;
  const DirHandle dir(opendir(folder.c_str()));
  while (dir) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool PathExists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace host
