// The file-system services of the configuration search and the text reader:
// the program-files folder, directory listings by wildcard and read-only
// access to a whole file.
//
// Paths are wide text. On Linux they reach the system as UTF-8; a byte of a
// name that is not valid UTF-8 is carried as the code point U+DC00 + byte, so
// every name read from a directory opens again unchanged.
//
// Threads: any thread; no shared state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// What separates the parts of a path: '\' on Windows, '/' on Linux (each
// platform's layer defines it).
extern const wchar_t kPathSeparator;

// The program-files folder as the system reports it: on Windows the one a
// 32-bit program is given ("Program Files (x86)" on 64-bit Windows, whatever
// this build's own width); $PROGRAMFILES on Linux, or /opt when that is unset
// or blank. False when there is none.
bool GetProgramFilesFolder(std::wstring& folder);

struct sDirectoryEntry {
  std::wstring name;
  bool isDirectory = false;
};

enum class eListing {
  AllEntries,
  PreferDirectories,  // a hint: other entries may still be listed
};

// The entries of a folder matching a wildcard, given as one text: folder,
// separator, pattern ("?" one character, "*" any run). In the system's order on
// Windows, where the match follows the system's own rules; in ascending byte
// order of the names on Linux, where "?" matches exactly one character and the
// match is case-sensitive. Empty when the folder cannot be listed.
std::vector<sDirectoryEntry> ListDirectory(const std::wstring& pattern, eListing listing);

// One file opened for reading (others may read it too) and a read-only view of
// its first bytes. Every step reports the system's error code, 0 on success.
// The file and the view are released on destruction.
class cReadOnlyFile {
 public:
  cReadOnlyFile();
  ~cReadOnlyFile();
  cReadOnlyFile(const cReadOnlyFile&) = delete;
  cReadOnlyFile& operator=(const cReadOnlyFile&) = delete;

  // Opens an existing file, hinting that it is read sequentially.
  uint32_t Open(const std::wstring& path);
  // The whole size, false when it cannot be obtained.
  bool GetSize(uint64_t& size) const;
  // A view of the first size bytes; an empty file cannot be viewed.
  uint32_t View(size_t size);
  const uint8_t* Data() const;
  size_t Size() const;

 private:
  struct sImpl;
  std::unique_ptr<sImpl> impl_;
};

}  // namespace host
