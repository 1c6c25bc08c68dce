// The Linux text decoding: Windows-1252, the UTF-16 test that must tell
// little-endian UTF-16 from 8-bit text, and surrogate pairs.
#include "host/text_decoding.h"

#include <gtest/gtest.h>

#include <string>

#include "data_file.h"
#include "host/text_file.h"
#include "temp_tree.h"

namespace {

host::eUnicodeTest Classify(const std::string& bytes) {
  return host::TestUnicodeText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::wstring FirstLine(const char* dataFile) {
  host::cDB2TextFile file(DataFilePath(dataFile).c_str());
  std::wstring line;
  EXPECT_TRUE(file.ReadLine(line)) << dataFile;
  return line;
}

TEST(Windows1252, HighControlRangeMapsToItsCharacters) {
  EXPECT_EQ(FirstLine("windows1252.txt"), std::wstring({L'\u20AC', L'\u0160', L'\u0178', L'\u00E9', L'\u0081'}));
}

TEST(UnicodeTest, ByteOrderMarkIsReported) {
  EXPECT_EQ(Classify("\xFF\xFE"), host::eUnicodeTest::UnicodeWithByteOrderMark);
  EXPECT_EQ(Classify(ReadDataFile("utf16le_bom.txt")), host::eUnicodeTest::UnicodeWithByteOrderMark);
}

TEST(UnicodeTest, LittleEndianTextWithoutMarkIsRecognised) {
  EXPECT_EQ(Classify(ReadDataFile("utf16le_no_bom.txt")), host::eUnicodeTest::Unicode);
  EXPECT_EQ(Classify(ReadDataFile("utf16le_cyrillic.txt")), host::eUnicodeTest::Unicode);
}

TEST(UnicodeTest, Ordinary8BitTextIsRefused) {
  EXPECT_EQ(Classify("a,b,mi_02,c\r\n2,3\r\n"), host::eUnicodeTest::NotUnicode);
  EXPECT_EQ(Classify("a\r\na\r\na\r\na\r\n"), host::eUnicodeTest::NotUnicode);  // line ends in the high bytes
  EXPECT_EQ(Classify("\xC3\xA9t\xC3\xA9\n"), host::eUnicodeTest::NotUnicode);   // UTF-8
  EXPECT_EQ(Classify(ReadDataFile("windows1252.txt")), host::eUnicodeTest::NotUnicode);
}

TEST(UnicodeTest, BigEndianAndNulRunsAreRefused) {
  EXPECT_EQ(Classify(std::string("\0a\0b\0,\0c", 8)), host::eUnicodeTest::NotUnicode);
  EXPECT_EQ(Classify(std::string(16, '\0')), host::eUnicodeTest::NotUnicode);
  EXPECT_EQ(Classify(ReadDataFile("utf16be_bom.txt")), host::eUnicodeTest::NotUnicode);
}

TEST(UnicodeTest, OnlyTheFirst128BytesAreLookedAt) {
  std::string text = ReadDataFile("utf16le_no_bom.txt");
  while (text.size() < 128) text += std::string("x\0", 2);
  text = text.substr(0, 128) + std::string(1024, 'a');  // 8-bit text overall
  cTempTree tree;
  std::wstring path = tree.Write("long.did", text).wstring();
  host::cDB2TextFile file(path.c_str());
  std::wstring line;
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, L"a,b,mi_02,c");
}

TEST(Utf16Decoding, SurrogatePairBecomesOneCharacter) {
  EXPECT_EQ(FirstLine("utf16le_surrogates.txt"), std::wstring({L'x', static_cast<wchar_t>(0x1F600), L'y'}));
}

TEST(Utf16Decoding, UnpairedSurrogatesStayAsTheyAre) {
  std::string bytes("\x00\xD8\x41\x00\x00\xDC", 6);
  std::wstring text = host::DecodeUtf16Text(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(text, std::wstring({static_cast<wchar_t>(0xD800), L'A', static_cast<wchar_t>(0xDC00)}));
}

}  // namespace
