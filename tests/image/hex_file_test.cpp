// The Intel HEX reader on small texts: which texts it accepts, the image it
// builds from them, and that every fault of text or addresses gives Error 11
// without writing outside the image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex_test_support.h"
#include "platform/errors.h"

namespace {

using hex_test::cParsedHex;
using hex_test::Data;
using hex_test::EndOfFile;
using hex_test::Lines;
using hex_test::RawRecord;
using hex_test::Record;
using hex_test::Start;
using hex_test::Upper;

constexpr uint32_t kBadFormat = platform::kErrorBadFormat;

// A sound text: two records at 0x00B00000, start address, end of file.
std::vector<std::string> SoundRecords() {
  return {Upper(0x00B0), Data(0x0000, {1, 2, 3, 4}), Data(0x0004, {5, 6}), Start(0x00B00000), EndOfFile()};
}

// --- Texts that must be accepted, and the image they give -----------------

TEST(HexFileAccepts, EveryLineEndingTheReaderKnows) {
  const std::vector<uint8_t> expected{1, 2, 3, 4, 5, 6};
  for (const std::string& text : {Lines(SoundRecords(), "\r\n"), Lines(SoundRecords(), "\n"),
                                  Lines(SoundRecords()).substr(0, Lines(SoundRecords()).size() - 2)}) {
    cParsedHex hex(text);
    ASSERT_EQ(hex.Error, 0u) << text;
    EXPECT_EQ(hex.LoadAddress, 0x00B00000u);
    EXPECT_EQ(hex.EntryAddress, 0x00B00000u);
    EXPECT_EQ(hex.ImageLength, 6u);
    EXPECT_EQ(hex.ImageCapacity, kHexImageCapacity);
    EXPECT_EQ(hex.Bytes(0, 7), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0xFF}));
  }
}

TEST(HexFileAccepts, LowerCaseDigits) {
  std::string text = Lines({Upper(0x00AB), Data(0xCDEF, {0xAB, 0xCD}), Start(0x00ABCDEF), EndOfFile()});
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  cParsedHex hex(text);
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.LoadAddress, 0x00ABCDEFu);
  EXPECT_EQ(hex.EntryAddress, 0x00ABCDEFu);
  EXPECT_EQ(hex.Bytes(0, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST(HexFileAccepts, EndOfFileInTheMiddleEndsNothing) {
  cParsedHex hex(Lines({Data(0x0010, {7}), EndOfFile(), Data(0x0011, {8}), Start(0x10), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.Bytes(0, 2), (std::vector<uint8_t>{7, 8}));
}

TEST(HexFileAccepts, LastStartAddressWins) {
  cParsedHex hex(Lines({Start(0x1234), Data(0, {1}), Start(0x5678), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.EntryAddress, 0x5678u);
}

TEST(HexFileImage, GapStaysErasedAndCountsTowardsLength) {
  cParsedHex hex(Lines({Data(0x0100, {1, 2}), Data(0x0105, {3}), Start(0x100), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.ImageLength, 6u);
  EXPECT_EQ(hex.Bytes(0, 6), (std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 0xFF, 3}));
}

TEST(HexFileImage, LaterOverlappingRecordWins) {
  cParsedHex hex(Lines({Data(0x0000, {1, 2, 3, 4}), Data(0x0002, {9, 9}), Start(0), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.ImageLength, 4u);
  EXPECT_EQ(hex.Bytes(0, 4), (std::vector<uint8_t>{1, 2, 9, 9}));
}

TEST(HexFileImage, RecordsInAnyOrderLandByAddress) {
  cParsedHex hex(Lines({Upper(0x0002), Data(0x0000, {5}), Upper(0x0001), Data(0xFFFF, {4}), Start(0), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.LoadAddress, 0x0001FFFFu);
  EXPECT_EQ(hex.Bytes(0, 2), (std::vector<uint8_t>{4, 5}));
}

TEST(HexFileImage, EmptyDataRecordStillSetsTheLoadAddress) {
  cParsedHex hex(Lines({Data(0x0010, {}), Data(0x0020, {1}), Start(0), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.LoadAddress, 0x10u);
  EXPECT_EQ(hex.ImageLength, 0x11u);
  EXPECT_EQ(hex.Image[0x10], 1);
}

TEST(HexFileImage, RecordRunsOnAcrossA64KiBBoundary) {
  cParsedHex hex(Lines({Upper(0x0003), Data(0xFFFE, {1, 2, 3, 4}), Start(0), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.LoadAddress, 0x0003FFFEu);
  EXPECT_EQ(hex.Bytes(0, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(HexFileImage, DataUpToTheLastByteOfTheImageFits) {
  cParsedHex hex(Lines({Data(0x0000, {1}), Upper(0x000F), Data(0xFFFF, {2}), Start(0), EndOfFile()}));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.ImageLength, kHexImageCapacity);
  EXPECT_EQ(hex.Image[kHexImageCapacity - 1], 2);
}

// --- Faults: each one is Error 11 ------------------------------------------

struct sFault {
  const char* name;
  std::string text;
};

std::string WithLine(size_t index, const std::string& line) {
  std::vector<std::string> records = SoundRecords();
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(index), line);
  return Lines(records);
}

std::string ReplacedLine(size_t index, const std::string& line) {
  std::vector<std::string> records = SoundRecords();
  records[index] = line;
  return Lines(records);
}

std::vector<sFault> Faults() {
  const std::string sound = Lines(SoundRecords());
  std::string badChecksum = Data(0x0004, {5, 6});
  badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
  return {
      {"no text", ""},
      {"only a line end", "\r\n"},
      {"extra LF at the end", sound + "\n"},
      {"empty line in the middle", WithLine(2, "")},
      {"line of a single byte", Lines(SoundRecords(), "\n").insert(0, "\n")},
      {"last line ends in a lone CR", sound.substr(0, sound.size() - 1)},
      {"line shorter than a record", WithLine(1, ":000000")},
      {"no colon", ReplacedLine(1, "=" + Data(0, {1, 2, 3, 4}).substr(1))},
      {"type 02 extended segment address", WithLine(1, Record(0x02, 0, {0x10, 0x00}))},
      {"type 03 start segment address", WithLine(1, Record(0x03, 0, {0, 0, 0, 0}))},
      {"type 10", WithLine(1, Record(0x10, 0, {}))},
      {"wrong checksum", ReplacedLine(2, badChecksum)},
      {"non-hex digit in the data", ReplacedLine(1, ":04000000010G0304F4")},
      {"byte count longer than the data", ReplacedLine(1, RawRecord({0x05, 0x00, 0x00, 0x00, 1, 2, 3, 4}))},
      {"byte count shorter than the data", ReplacedLine(1, RawRecord({0x03, 0x00, 0x00, 0x00, 1, 2, 3, 4}))},
      {"odd number of digits, no line end", sound + ":00000001FF0"},
      {"end of file with data", ReplacedLine(4, Record(0x01, 0, {0}))},
      {"end of file with an address", ReplacedLine(4, Record(0x01, 0x0001, {}))},
      {"extended address of one byte", ReplacedLine(0, Record(0x04, 0, {0xB0}))},
      {"extended address with an address field", ReplacedLine(0, Record(0x04, 0x0001, {0x00, 0xB0}))},
      {"start address of two bytes", ReplacedLine(3, Record(0x05, 0, {0x00, 0xB0}))},
      {"start address with an address field", ReplacedLine(3, Record(0x05, 0x0100, {0, 0xB0, 0, 0}))},
      {"no start address", Lines({Data(0, {1}), EndOfFile()})},
      {"start address 0xFFFFFFFF", ReplacedLine(3, Start(0xFFFFFFFF))},
      {"no data record", Lines({Start(0), EndOfFile()})},
      {"last record is not end of file", Lines({Data(0, {1}), Start(0)})},
      {"end of file only in the middle", Lines({Data(0, {1}), EndOfFile(), Start(0)})},
      {"data one byte beyond 1 MiB", Lines({Data(0, {1}), Upper(0x0010), Data(0x0000, {2}), Start(0), EndOfFile()})},
      {"data far beyond 1 MiB", Lines({Data(0, {1}), Upper(0x7000), Data(0x0000, {2}), Start(0), EndOfFile()})},
  };
}

TEST(HexFileFaults, EveryFaultIsBadFormat) {
  for (const sFault& fault : Faults()) {
    cParsedHex hex(fault.text);
    EXPECT_EQ(hex.Error, kBadFormat) << fault.name;
  }
}

// A record at the top of the address space: its end offset is past 4 GiB, so
// in 32 bits it would wrap to a small number and pass the size check.
TEST(HexFileFaults, RecordNearTheTopOfTheAddressSpaceIsRejected) {
  std::vector<uint8_t> sixteen(16, 0xAA);
  cParsedHex hex(Lines({Data(0x0000, {1}), Upper(0xFFFF), Data(0xFFF8, sixteen), Start(0), EndOfFile()}));
  EXPECT_EQ(hex.Error, kBadFormat);
  EXPECT_EQ(hex.Image[0], 1);  // bytes placed before the fault stay
  EXPECT_EQ(hex.Image[1], 0xFF);
  EXPECT_EQ(hex.ImageLength, 1u);
}

}  // namespace
