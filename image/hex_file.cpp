// Intel HEX reader: a record pass checks every line and collects the records,
// an image pass finds the load and entry addresses and copies the data into
// one 1 MiB image. Every fault ends the work with one error code.
#include "image/hex_file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/errors.h"

namespace {

enum eHexRecordType : uint8_t {
  eHexData = 0,
  eHexEndOfFile = 1,
  eHexExtendedLinearAddress = 4,
  eHexStartLinearAddress = 5,
};

// One checked record. The address is the load offset (data), the upper 16
// address bits (extended linear address) or the start address.
struct sHexRecord {
  eHexRecordType type;
  uint32_t byteCount;
  uint32_t address;
  size_t dataOffset;  // where its bytes start in sHexRecords::bytes
};

// The records in file order; the data bytes of all of them in one array, so
// that a record costs a few words rather than a full 255-byte area.
struct sHexRecords {
  std::vector<sHexRecord> list;
  std::vector<uint8_t> bytes;
};

// Shortest record: ':', count, address, type, checksum.
constexpr size_t kMinRecordLength = 11;

int HexDigitValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads <digits> hex digits, most significant first.
bool ReadHexNumber(const uint8_t* text, size_t digits, uint32_t* value) {
  uint32_t result = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

// The line without its LF or CR LF ending.
size_t TextLength(const uint8_t* line, size_t length) {
  if (line[length - 1] != '\n') return length;
  if (length >= 2 && line[length - 2] == '\r') return length - 2;
  return length - 1;
}

// The bytes after the ':' must sum to 0 modulo 256. An odd number of digits
// cannot be a record, and reading its last byte would run past the text.
bool ChecksumIsZero(const uint8_t* line, size_t textLength) {
  const size_t digits = textLength - 1;
  if (digits % 2 != 0) return false;
  uint32_t sum = 0;
  for (size_t i = 0; i < digits; i += 2) {
    uint32_t byte = 0;
    if (!ReadHexNumber(line + 1 + i, 2, &byte)) return false;
    sum += byte;
  }
  return (sum & 0xFF) == 0;
}

bool IsAcceptedType(uint8_t digit) { return digit == '0' || digit == '1' || digit == '4' || digit == '5'; }

bool DecodeData(const uint8_t* line, size_t textLength, sHexRecord& record, std::vector<uint8_t>& bytes) {
  if (textLength != 2 * record.byteCount + kMinRecordLength) return false;
  record.dataOffset = bytes.size();
  for (uint32_t i = 0; i < record.byteCount; ++i) {
    uint32_t byte = 0;
    if (!ReadHexNumber(line + 9 + 2 * i, 2, &byte)) return false;
    bytes.push_back(static_cast<uint8_t>(byte));
  }
  return true;
}

// Checks the fixed shape of the non-data records and reads their value.
bool DecodeControl(const uint8_t* line, size_t textLength, sHexRecord& record) {
  if (record.address != 0) return false;
  switch (record.type) {
    case eHexEndOfFile:
      return record.byteCount == 0 && textLength == 11;
    case eHexExtendedLinearAddress:
      return record.byteCount == 2 && textLength == 15 && ReadHexNumber(line + 9, 4, &record.address);
    case eHexStartLinearAddress:
      return record.byteCount == 4 && textLength == 19 && ReadHexNumber(line + 9, 8, &record.address);
    case eHexData:
      break;
  }
  return false;
}

// Checks one line (<length> bytes including its line end) and appends its
// record.
bool ReadRecord(const uint8_t* line, size_t length, sHexRecords& records) {
  if (length < kMinRecordLength) return false;
  if (line[0] != ':' || line[7] != '0' || !IsAcceptedType(line[8])) return false;
  const size_t textLength = TextLength(line, length);
  if (!ChecksumIsZero(line, textLength)) return false;
  sHexRecord record{static_cast<eHexRecordType>(line[8] - '0'), 0, 0, 0};
  ReadHexNumber(line + 1, 2, &record.byteCount);  // digits checked by the checksum
  ReadHexNumber(line + 3, 4, &record.address);
  const bool sound = record.type == eHexData ? DecodeData(line, textLength, record, records.bytes)
                                             : DecodeControl(line, textLength, record);
  if (!sound) return false;
  records.list.push_back(record);
  return true;
}

// Record pass: every LF ends a line; bytes after the last LF form one more.
// The text must hold at least one record and end with an end-of-file record.
bool ReadRecords(const uint8_t* text, uint32_t size, sHexRecords& records) {
  size_t first = 0;
  while (first < size) {
    const void* lf = std::memchr(text + first, '\n', size - first);
    const size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - text) + 1 : size;
    if (!ReadRecord(text + first, end - first, records)) return false;
    first = end;
  }
  return !records.list.empty() && records.list.back().type == eHexEndOfFile;
}

// Visits the records in file order with the absolute address of each data
// record; stops at the first visit that returns false.
template <typename Visit>
bool ForEachRecord(const sHexRecords& records, Visit visit) {
  uint32_t upper = 0;
  for (const sHexRecord& record : records.list) {
    if (record.type == eHexExtendedLinearAddress) upper = record.address << 16;
    if (!visit(record, upper | record.address)) return false;
  }
  return true;
}

// First sweep: the lowest data address and the last start address.
bool FindAddresses(const sHexRecords& records, uint32_t* loadAddress, uint32_t* entryAddress) {
  uint32_t lowest = 0xFFFFFFFFu;
  bool sawData = false;
  ForEachRecord(records, [&](const sHexRecord& record, uint32_t absolute) {
    if (record.type == eHexData) {
      lowest = std::min(lowest, absolute);
      sawData = true;
    } else if (record.type == eHexStartLinearAddress) {
      *entryAddress = record.address;
    }
    return true;
  });
  if (!sawData || *entryAddress == 0xFFFFFFFFu) return false;
  *loadAddress = lowest;
  return true;
}

}  // namespace

cHexFile::cHexFile(platform::ModuleHandle module) : cMemoryMappedFile(module, kProgrammerResourceId) { Parse(); }

cHexFile::cHexFile(const uint8_t* text, uint32_t size) : cMemoryMappedFile(text, size) { Parse(); }

cHexFile::~cHexFile() = default;

void cHexFile::Parse() {
  if (Error != platform::kErrorSuccess) return;
  try {
    if (!BuildImage()) Error = platform::kErrorBadFormat;
  } catch (const std::bad_alloc&) {
    Error = platform::kErrorNotEnoughMemory;
  }
}

bool cHexFile::BuildImage() {
  sHexRecords records;
  records.list.reserve(Size / kMinRecordLength + 1);
  records.bytes.reserve(Size / 2);
  if (!ReadRecords(Data, Size, records) || !FindAddresses(records, &LoadAddress, &EntryAddress)) return false;
  // Only text whose records all passed gets the megabyte: a faulty text is
  // refused without touching it.
  Image = std::make_unique_for_overwrite<uint8_t[]>(kHexImageCapacity);
  ImageCapacity = kHexImageCapacity;
  std::fill_n(Image.get(), ImageCapacity, uint8_t{0xFF});
  return ForEachRecord(records, [&](const sHexRecord& record, uint32_t absolute) {
    return record.type != eHexData || PlaceData(absolute, records.bytes.data() + record.dataOffset, record.byteCount);
  });
}

bool cHexFile::PlaceData(uint32_t address, const uint8_t* bytes, uint32_t count) {
  // In 64 bits: a record near the top of the address space must not wrap
  // around to a small end offset and be written outside the image.
  const uint64_t offset = address - LoadAddress;
  const uint64_t end = offset + count;
  if (end > ImageCapacity) return false;
  std::copy_n(bytes, count, Image.get() + offset);
  ImageLength = std::max(ImageLength, static_cast<uint32_t>(end));
  return true;
}
