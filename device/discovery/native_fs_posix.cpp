// UTF-8 paths and directory queries for the Linux layers of the upgrade driver.
#include "device/discovery/native_fs_posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/utf8.h"

namespace host {
namespace {

constexpr uint32_t kEscapeBase = 0xDC00;

// Decodes the UTF-8 sequence at text[i]; returns its length, 0 when it is not
// a valid, shortest-form sequence of a code point other than a surrogate.
size_t DecodeUtf8(const std::string& text, size_t i, uint32_t& c) {
  auto byte = [&text](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t lead = byte(i);
  size_t length = lead < 0x80                   ? 1
                  : lead >= 0xC2 && lead < 0xE0 ? 2
                  : lead >= 0xE0 && lead < 0xF0 ? 3
                  : lead >= 0xF0 && lead < 0xF5 ? 4
                                                : 0;
  if (length == 0 || i + length > text.size()) {
    return 0;
  }
  static constexpr uint32_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  c = lead & kLeadMask[length];
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return 0;
    }
    c = c << 6 | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  bool valid = c >= kShortest[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
  return valid ? length : 0;
}

struct sDirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string ToNativePath(const std::wstring& path) {
  std::string out;
  for (wchar_t wc : path) {
    auto c = static_cast<uint32_t>(wc);
    if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else {
      platform::AppendUtf8(out, c);
    }
  }
  return out;
}

std::wstring FromNativePath(const std::string& path) {
  std::wstring out;
  for (size_t i = 0; i < path.size();) {
    uint32_t c = 0;
    size_t length = DecodeUtf8(path, i, c);
    if (length == 0) {
      c = kEscapeBase + static_cast<uint8_t>(path[i]);
      length = 1;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += length;
  }
  return out;
}

std::string NativePathFromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value ? value : fallback;
}

std::vector<std::string> ListSortedNames(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, sDirCloser> dir(opendir(folder.c_str()));
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
