// The description-file reader: which bytes become which lines, and which files
// are refused with which error.
#include "host/text_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_file.h"
#include "platform/errors.h"
#include "temp_tree.h"

namespace {

std::vector<std::wstring> AllLines(host::cDB2TextFile& file) {
  std::vector<std::wstring> lines;
  std::wstring line;
  while (file.ReadLine(line)) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::wstring> LinesOfDataFile(const char* name) {
  host::cDB2TextFile file(DataFilePath(name).c_str());
  EXPECT_TRUE(file.IsOpen()) << name << " error " << file.Error();
  return AllLines(file);
}

using Lines = std::vector<std::wstring>;

TEST(TextFileDecoding, OddSizeIsAnsiText) { EXPECT_EQ(LinesOfDataFile("ansi_odd.txt"), Lines{L"a,b"}); }

TEST(TextFileDecoding, Utf16WithByteOrderMarkLeavesTheMarkOut) {
  EXPECT_EQ(LinesOfDataFile("utf16le_bom.txt"), (Lines{L"a", L"b"}));
}

TEST(TextFileDecoding, Utf16WithoutByteOrderMarkIsRecognised) {
  EXPECT_EQ(LinesOfDataFile("utf16le_no_bom.txt"), (Lines{L"a,b,mi_02,c", L"2,3"}));
}

TEST(TextFileDecoding, EvenSized8BitTextStaysAnsi) {
  EXPECT_EQ(LinesOfDataFile("two_crs.txt"), (Lines{L"kept\r", L"next"}));
}

TEST(TextFileLines, CarriageReturnBeforeLineFeedIsNotPartOfTheLine) {
  EXPECT_EQ(LinesOfDataFile("crlf_lines.txt"), (Lines{L"first", L"second", L"", L"last"}));
}

TEST(TextFileLines, SingleLineFeedIsOneEmptyLine) { EXPECT_EQ(LinesOfDataFile("single_lf.txt"), Lines{L""}); }

TEST(TextFileLines, EndOfTextLeavesTheLineUntouched) {
  host::cDB2TextFile file(DataFilePath("ansi_odd.txt").c_str());
  std::wstring line;
  ASSERT_TRUE(file.ReadLine(line));
  line = L"before";
  EXPECT_FALSE(file.ReadLine(line));
  EXPECT_FALSE(file.ReadLine(line));
  EXPECT_EQ(line, L"before");
}

void ExpectNotOpen(const wchar_t* path, uint32_t error) {
  host::cDB2TextFile file(path);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Error(), error);
  std::wstring line = L"untouched";
  EXPECT_FALSE(file.ReadLine(line));
  EXPECT_EQ(line, L"untouched");
}

TEST(TextFileRefusal, NullEmptyAndMissingPaths) {
  cTempTree tree;
  ExpectNotOpen(nullptr, platform::kErrorFileNotFound);
  ExpectNotOpen(L"", platform::kErrorFileNotFound);
  ExpectNotOpen((tree.Base() + L"missing.did").c_str(), platform::kErrorFileNotFound);
}

TEST(TextFileRefusal, EmptyFileIsNotOpen) {
  cTempTree tree;
  std::wstring path = tree.Write("empty.did", "").wstring();
  host::cDB2TextFile file(path.c_str());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_NE(file.Error(), 0u);
}

TEST(TextFileRefusal, EightMebibytesLoadOneByteMoreIsRefused) {
  cTempTree tree;
  std::string text(host::kMaxTextFileSize, 'x');
  text[host::kMaxTextFileSize - 2] = '\n';
  std::wstring limit = tree.Write("limit.did", text).wstring();
  host::cDB2TextFile atLimit(limit.c_str());
  ASSERT_TRUE(atLimit.IsOpen());
  std::wstring line;
  ASSERT_TRUE(atLimit.ReadLine(line));
  EXPECT_EQ(line.size(), host::kMaxTextFileSize - 2);

  std::wstring over = tree.Write("over.did", text + "x").wstring();
  host::cDB2TextFile overLimit(over.c_str());
  EXPECT_FALSE(overLimit.IsOpen());
  EXPECT_EQ(overLimit.Error(), platform::kErrorGenFailure);
}

// Only the stored copy of a long path is cut; the file is opened by its full path.
TEST(TextFilePath, LongPathOpensTheFileAndStoresACutCopy) {
  cTempTree tree;
  std::wstring folder(200, L'd');
  std::wstring name = std::wstring(200, L'f') + L".did";
  std::filesystem::path relative = std::filesystem::path(folder) / folder / name;
  std::wstring path = tree.Write(relative, "a,b").wstring();
  ASSERT_GT(path.size(), host::cDB2TextFile::kMaxStoredPathLength);
  host::cDB2TextFile file(path.c_str());
  EXPECT_TRUE(file.IsOpen()) << file.Error();
  EXPECT_EQ(file.Path(), path.substr(0, host::cDB2TextFile::kMaxStoredPathLength));
}

}  // namespace
