// Windows file-system services: the shell's program-files folder (as a 32-bit
// program sees it), FindFirstFileExW listings and files mapped read-only.
#include "host/file_system.h"

// windows.h first, in a block of its own: shlobj.h needs its types.
#include <windows.h>

#include <shlobj.h>

#include "platform/errors.h"
#include "platform/handle.h"

namespace host {
namespace {

struct sFindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};

struct sViewUnmapper {
  void operator()(const void* view) const { UnmapViewOfFile(view); }
};

}  // namespace

const wchar_t kPathSeparator = L'\\';

// The installations this program serves are 32-bit, and so is their
// installer: on 64-bit Windows their description files lie below "Program
// Files (x86)", the folder a 32-bit program is given for CSIDL_PROGRAM_FILES.
// A 64-bit build asks for that folder by name; on 32-bit Windows it is
// "Program Files" too.
constexpr int kProgramFilesOf32BitPrograms = sizeof(void*) == 8 ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES;

bool GetProgramFilesFolder(std::wstring& folder) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, kProgramFilesOf32BitPrograms, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return false;
  }
  folder = path;
  return true;
}

std::vector<sDirectoryEntry> ListDirectory(const std::wstring& pattern, eListing listing) {
  std::vector<sDirectoryEntry> entries;
  WIN32_FIND_DATAW data{};
  FINDEX_SEARCH_OPS search =
      listing == eListing::PreferDirectories ? FindExSearchLimitToDirectories : FindExSearchNameMatch;
  HANDLE first = FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &data, search, nullptr, 0);
  if (first == INVALID_HANDLE_VALUE) {
    return entries;
  }
  std::unique_ptr<void, sFindCloser> find(first);
  do {
    entries.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find.get(), &data));
  return entries;
}

// Members end in reverse order: the view, then the mapping, then the file.
struct cReadOnlyFile::sImpl {
  platform::cHandle file;
  platform::cHandle mapping;
  std::unique_ptr<const void, sViewUnmapper> view;
  size_t size = 0;
};

cReadOnlyFile::cReadOnlyFile() : impl_(std::make_unique<sImpl>()) {}

cReadOnlyFile::~cReadOnlyFile() = default;

uint32_t cReadOnlyFile::Open(const std::wstring& path) {
  impl_->file = platform::cHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!impl_->file.IsValid()) {
    return GetLastError();
  }
  return platform::kErrorSuccess;
}

bool cReadOnlyFile::GetSize(uint64_t& size) const {
  LARGE_INTEGER whole{};
  if (!GetFileSizeEx(impl_->file.Get(), &whole)) {
    return false;
  }
  size = static_cast<uint64_t>(whole.QuadPart);
  return true;
}

uint32_t cReadOnlyFile::View(size_t size) {
  impl_->mapping = platform::cHandle(CreateFileMappingW(impl_->file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!impl_->mapping.IsValid()) {
    return GetLastError();
  }
  const void* view = MapViewOfFile(impl_->mapping.Get(), FILE_MAP_READ, 0, 0, size);
  if (view == nullptr) {
    return GetLastError();
  }
  impl_->view.reset(view);
  impl_->size = size;
  return platform::kErrorSuccess;
}

const uint8_t* cReadOnlyFile::Data() const { return static_cast<const uint8_t*>(impl_->view.get()); }
size_t cReadOnlyFile::Size() const { return impl_->size; }

}  // namespace host
