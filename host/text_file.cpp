// Loading and line cutting of the description-file reader; the file access
// and the decoding are the host's.
#include "host/text_file.h"

#include <algorithm>

#include "host/file_system.h"
#include "host/text_decoding.h"
#include "platform/errors.h"

namespace host {

namespace {

// The system's UTF-16 test looks at no more than this many bytes.
constexpr size_t kUnicodeTestLength = 128;

std::wstring DecodeText(const uint8_t* bytes, size_t size) {
  if (size % 2 != 0) {
    return DecodeAnsiText(bytes, size);
  }
  switch (TestUnicodeText(bytes, std::min(size, kUnicodeTestLength))) {
    case eUnicodeTest::UnicodeWithByteOrderMark:
      return DecodeUtf16Text(bytes + 2, size - 2);
    case eUnicodeTest::Unicode:
      return DecodeUtf16Text(bytes, size);
    case eUnicodeTest::NotUnicode:
      break;
  }
  return DecodeAnsiText(bytes, size);
}

}  // namespace

cDB2TextFile::cDB2TextFile(const wchar_t* path) : error_(platform::kErrorFileNotFound) {
  if (path != nullptr && *path != L'\0') {
    error_ = Load(path);
  }
}

uint32_t cDB2TextFile::Load(const wchar_t* path) {
  std::wstring fullPath(path);
  path_ = fullPath.substr(0, kMaxStoredPathLength);
  cReadOnlyFile file;
  if (uint32_t error = file.Open(fullPath)) {
    return error;
  }
  uint64_t size = 0;
  if (!file.GetSize(size) || size > kMaxTextFileSize) {
    return platform::kErrorGenFailure;
  }
  if (uint32_t error = file.View(static_cast<size_t>(size))) {
    return error;
  }
  text_ = DecodeText(file.Data(), file.Size());
  return platform::kErrorSuccess;
}

bool cDB2TextFile::IsOpen() const { return error_ == platform::kErrorSuccess; }

bool cDB2TextFile::ReadLine(std::wstring& line) {
  if (!IsOpen() || position_ >= text_.size()) {
    return false;
  }
  size_t end = std::min(text_.find(L'\n', position_), text_.size());
  line.assign(text_, position_, end - position_);
  if (!line.empty() && line.back() == L'\r') {
    line.pop_back();
  }
  position_ = end + 1;
  return true;
}

}  // namespace host
