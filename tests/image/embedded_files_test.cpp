// The files embedded in this test executable by the build, found through the
// same interface the updater uses, compared with the files the build embedded.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "hex_test_support.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "platform/module.h"

namespace {

// Paths of the programmer and device image the build embedded, one a line.
std::string EmbeddedInput(int line) {
  std::ifstream list(ZNTV_BINARY_DIR "/resources/embedded_inputs.txt");
  std::string path;
  for (int i = 0; i <= line; ++i) std::getline(list, path);
  return path;
}

TEST(EmbeddedFiles, DeviceImageIsTheEmbeddedFileByteForByte) {
  cMemoryMappedFile image(platform::GetProgramModule(), kDeviceImageResourceId);
  ASSERT_EQ(image.Error, 0u);
  ASSERT_NE(image.Data, nullptr);
  ASSERT_EQ(image.Size, 1'129'496u);
  const std::vector<uint8_t> expected = hex_test::ReadFile(EmbeddedInput(1));
  ASSERT_EQ(expected.size(), image.Size);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.Data));
}

TEST(EmbeddedFiles, ProgrammerTextIsTheEmbeddedFileByteForByte) {
  cMemoryMappedFile text(platform::GetProgramModule(), kProgrammerResourceId);
  ASSERT_EQ(text.Error, 0u);
  ASSERT_EQ(text.Size, 174'050u);
  const std::vector<uint8_t> expected = hex_test::ReadFile(EmbeddedInput(0));
  ASSERT_EQ(expected.size(), text.Size);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), text.Data));
}

TEST(EmbeddedFiles, MissingIdIsAnErrorWithoutData) {
  for (uint16_t id : {uint16_t{129}, uint16_t{132}, uint16_t{0}}) {
    cMemoryMappedFile missing(platform::GetProgramModule(), id);
    EXPECT_NE(missing.Error, 0u) << id;
    EXPECT_EQ(missing.Data, nullptr) << id;
    EXPECT_EQ(missing.Size, 0u) << id;
  }
}

TEST(EmbeddedFiles, ClosingAViewLeavesTheFileForTheNextOpen) {
  const uint8_t* first = nullptr;
  uint8_t firstByte = 0;
  {
    cMemoryMappedFile image(platform::GetProgramModule(), kDeviceImageResourceId);
    ASSERT_EQ(image.Error, 0u);
    first = image.Data;
    firstByte = image.Data[0];
  }
  cMemoryMappedFile again(platform::GetProgramModule(), kDeviceImageResourceId);
  ASSERT_EQ(again.Error, 0u);
  EXPECT_EQ(again.Data, first);
  EXPECT_EQ(again.Data[0], firstByte);
}

std::vector<uint8_t> DecodeHex(const char* digits, size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < count; ++i)
    bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(digits + 2 * i, 2), nullptr, 16)));
  return bytes;
}

class cProgramProgrammer : public cHexFile {
 public:
  cProgramProgrammer() : cHexFile(platform::GetProgramModule()) {}
  std::vector<uint8_t> Bytes(uint32_t from, uint32_t count) const {
    return std::vector<uint8_t>(Image.get() + from, Image.get() + from + count);
  }
};

TEST(EmbeddedFiles, ProgrammerParsesToOneContiguousImage) {
  cProgramProgrammer programmer;
  ASSERT_EQ(programmer.Error, 0u);
  EXPECT_EQ(programmer.LoadAddress, 0x00B00000u);
  EXPECT_EQ(programmer.EntryAddress, 0x00B00000u);
  ASSERT_EQ(programmer.ImageLength, 61'864u);
  ASSERT_EQ(programmer.ImageCapacity, kHexImageCapacity);
  // The last data record holds the final 8 bytes; nothing follows them.
  EXPECT_EQ(programmer.Image[programmer.ImageLength], 0xFF);
  // The first and the last data record of the text, read straight from it:
  // they sit at fixed places since every record has a fixed length.
  cMemoryMappedFile text(platform::GetProgramModule(), kProgrammerResourceId);
  ASSERT_EQ(text.Error, 0u);
  const char* chars = reinterpret_cast<const char*>(text.Data);
  const size_t firstData = 17, lastData = text.Size - 13 - 21 - 29;
  EXPECT_EQ(std::string(chars + firstData, 9), ":10000000");
  EXPECT_EQ(std::string(chars + lastData, 9), ":08F1A000");
  EXPECT_EQ(programmer.Bytes(0, 16), DecodeHex(chars + firstData + 9, 16));
  EXPECT_EQ(programmer.Bytes(61'856, 8), DecodeHex(chars + lastData + 9, 8));
}

}  // namespace
