// Fuzzes the description-file reader with arbitrary file contents: the bytes
// go through a real file, its decoding (ANSI or UTF-16) and its line cutting.
// Properties: a non-empty file opens, an empty one does not; the reader
// terminates; no line holds a line feed; the lines are exactly the decoded
// text cut at line feeds, each without one carriage return before its line
// feed; the decoders keep every character in range.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/text_decoding.h"
#include "host/text_file.h"

namespace {

std::string g_path;

// The decoded text the reader should see: ANSI for an odd size, UTF-16 when
// the first 128 bytes pass the Unicode test (without its byte-order mark).
std::wstring ExpectedText(const uint8_t* data, size_t size) {
  if (size % 2 != 0) return host::DecodeAnsiText(data, size);
  switch (host::TestUnicodeText(data, std::min<size_t>(size, 128))) {
    case host::eUnicodeTest::UnicodeWithByteOrderMark:
      return host::DecodeUtf16Text(data + 2, size - 2);
    case host::eUnicodeTest::Unicode:
      return host::DecodeUtf16Text(data, size);
    case host::eUnicodeTest::NotUnicode:
      break;
  }
  return host::DecodeAnsiText(data, size);
}

std::vector<std::wstring> ExpectedLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t lf = std::min(text.find(L'\n', start), text.size());
    std::wstring line = text.substr(start, lf - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(std::move(line));
    start = lf + 1;
  }
  return lines;
}

void CheckDecoders(const uint8_t* data, size_t size) {
  const std::wstring ansi = host::DecodeAnsiText(data, size);
  FUZZ_REQUIRE(ansi.size() == size);
  const std::wstring utf16 = host::DecodeUtf16Text(data, size);
  const size_t units = size / 2;
  FUZZ_REQUIRE(utf16.size() <= units && utf16.size() >= (units + 1) / 2);
  FUZZ_REQUIRE(std::all_of(utf16.begin(), utf16.end(), [](wchar_t c) { return uint32_t(c) <= 0x10FFFF; }));
}

void WriteFile(const uint8_t* data, size_t size) {
  const int fd = open(g_path.c_str(), O_WRONLY | O_TRUNC);
  FUZZ_REQUIRE(fd >= 0);
  for (size_t done = 0; done < size;) {
    const ssize_t wrote = write(fd, data + done, size - done);
    FUZZ_REQUIRE(wrote > 0);
    done += static_cast<size_t>(wrote);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/zntv-fuzz-text-XXXXXX";
  const int fd = mkstemp(pattern);
  FUZZ_REQUIRE(fd >= 0);
  close(fd);
  g_path = pattern;
  std::atexit([] { unlink(g_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckDecoders(data, size);
  WriteFile(data, size);
  host::cDB2TextFile file(std::wstring(g_path.begin(), g_path.end()).c_str());
  FUZZ_REQUIRE(file.IsOpen() == (size != 0));
  const std::vector<std::wstring> expected =
      file.IsOpen() ? ExpectedLines(ExpectedText(data, size)) : std::vector<std::wstring>();
  std::wstring line;
  size_t count = 0;
  while (file.ReadLine(line)) {
    FUZZ_REQUIRE(count < expected.size());  // also bounds the loop
    FUZZ_REQUIRE(line.find(L'\n') == std::wstring::npos);
    FUZZ_REQUIRE(line == expected[count]);
    ++count;
  }
  FUZZ_REQUIRE(count == expected.size());
  FUZZ_REQUIRE(!file.ReadLine(line));
  return 0;
}
