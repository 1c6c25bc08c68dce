// Lookups in a table of linked-in files other than the program's own: an
// empty file or a missing table never reads as a usable view.
#include <gtest/gtest.h>

#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "platform/embedded_files_posix.h"

namespace {

const uint8_t kBytes[] = {1, 2, 3};
const platform::sEmbeddedFile kFiles[] = {
    {130, kBytes, kBytes},  // empty
    {131, kBytes, kBytes + 3},
};
const platform::sEmbeddedFileTable kTable{kFiles, 2};

TEST(EmbeddedTable, FindsAFileById) {
  cMemoryMappedFile file(&kTable, 131);
  ASSERT_EQ(file.Error, 0u);
  EXPECT_EQ(file.Data, kBytes);
  EXPECT_EQ(file.Size, 3u);
}

TEST(EmbeddedTable, EmptyFileIsAnError) {
  cMemoryMappedFile file(&kTable, 130);
  EXPECT_NE(file.Error, 0u);
  EXPECT_EQ(file.Data, nullptr);
  EXPECT_EQ(file.Size, 0u);
  cHexFile programmer(&kTable);
  EXPECT_NE(programmer.Error, 0u);
  EXPECT_EQ(programmer.Image, nullptr);
}

TEST(EmbeddedTable, NoTableFindsNothing) {
  cMemoryMappedFile file(platform::ModuleHandle{}, 131);
  EXPECT_NE(file.Error, 0u);
  EXPECT_EQ(file.Data, nullptr);
}

}  // namespace
