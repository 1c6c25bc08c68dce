// Scratch trees and golden files for the upgrade driver's tests.
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

cTempTree::cTempTree() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  std::string name = "zntv-upgrade-test-" + std::to_string(random()) + "-" + std::to_string(counter++);
  root_ = fs::temp_directory_path() / name;
  fs::create_directories(root_);
}

cTempTree::~cTempTree() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path cTempTree::Write(const fs::path& relative, std::string_view bytes) const {
  fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(file.good()) << path;
  return path;
}

fs::path cTempTree::MakeFolder(const fs::path& relative) const {
  fs::path path = root_ / relative;
  fs::create_directories(path);
  return path;
}

std::wstring DataFilePath(const char* name) { return (fs::path(ZNTV_TEST_DATA_DIR) / name).wstring(); }

std::string ReadDataFile(const char* name) {
  std::ifstream file(fs::path(ZNTV_TEST_DATA_DIR) / name, std::ios::binary);
  EXPECT_TRUE(file.good()) << name;
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}
