// A scratch directory tree for one test, removed with everything in it when
// the test ends.
#pragma once
#include <filesystem>
#include <string>
#include <string_view>

#include "device/discovery/file_system.h"

class cTempTree {
 public:
  cTempTree();
  ~cTempTree();
  cTempTree(const cTempTree&) = delete;
  cTempTree& operator=(const cTempTree&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  // The root as the program spells a base folder: ending in a separator.
  std::wstring Base() const { return root_.wstring() + host::kPathSeparator; }
  // Writes bytes to a file below the root, making its folders.
  std::filesystem::path Write(const std::filesystem::path& relative, std::string_view bytes) const;
  std::filesystem::path MakeFolder(const std::filesystem::path& relative) const;

 private:
  std::filesystem::path root_;
};

// The bytes of a golden file in tests/upgrade/data.
std::string ReadDataFile(const char* name);
std::wstring DataFilePath(const char* name);
