// The resource script attaches both files as US English (1033) resources of
// type "FILES", the language the updater's resources have always carried.
#include <gtest/gtest.h>

#include <windows.h>

#include "image/memory_mapped_file.h"

namespace {

TEST(EmbeddedResources, BothFilesAreUsEnglishFilesResources) {
  const HMODULE self = GetModuleHandleW(nullptr);
  for (uint16_t id : {kProgrammerResourceId, kDeviceImageResourceId}) {
    EXPECT_NE(FindResourceExW(self, L"FILES", MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr)
        << id;
  }
}

}  // namespace
