// Fuzzes the Intel HEX reader of the flash programmer with arbitrary text.
// Properties: the reader always ends with one of its three codes; a usable
// image fits its 1 MiB buffer, has an entry address and came from text whose
// last record is end of file; bytes the text never placed stay 0xFF beyond
// the image length.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "image/hex_file.h"
#include "platform/errors.h"

namespace {

class cFuzzedHexFile : public cHexFile {
 public:
  cFuzzedHexFile(const uint8_t* text, uint32_t size) : cHexFile(text, size) {}
};

// The last line of the text without its line end.
std::string_view LastLine(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const size_t lf = text.rfind('\n');
  return lf == std::string_view::npos ? text : text.substr(lf + 1);
}

bool IsEndOfFileRecord(std::string_view line) {
  return line.size() == 11 && line.substr(0, 9) == ":00000001" &&
         (line.substr(9) == "FF" || line.substr(9) == "ff" || line.substr(9) == "Ff" || line.substr(9) == "fF");
}

// Compares against a block of 0xFF rather than byte by byte: the fuzzer's
// comparison hooks on a per-byte loop over the megabyte would cost more than
// the parse itself.
bool AllErased(const uint8_t* bytes, size_t count) {
  static const std::array<uint8_t, 4096> erased = [] {
    std::array<uint8_t, 4096> block;
    block.fill(0xFF);
    return block;
  }();
  for (size_t at = 0; at < count; at += erased.size()) {
    const size_t chunk = std::min(erased.size(), count - at);
    if (std::memcmp(bytes + at, erased.data(), chunk) != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  const cFuzzedHexFile hex(data, static_cast<uint32_t>(size));
  FUZZ_REQUIRE(hex.Error == platform::kErrorSuccess || hex.Error == platform::kErrorNotEnoughMemory ||
               hex.Error == platform::kErrorBadFormat);
  FUZZ_REQUIRE(hex.ImageLength <= hex.ImageCapacity);
  FUZZ_REQUIRE(hex.ImageCapacity == 0 || hex.ImageCapacity == kHexImageCapacity);
  if (hex.Error != platform::kErrorSuccess) return 0;
  FUZZ_REQUIRE(hex.Image != nullptr && hex.ImageCapacity == kHexImageCapacity);
  FUZZ_REQUIRE(hex.EntryAddress != 0xFFFFFFFFu);
  FUZZ_REQUIRE(hex.LoadAddress != 0xFFFFFFFFu || hex.ImageLength <= 1);
  // The image never reaches past the top of the 32-bit address space.
  FUZZ_REQUIRE(hex.ImageLength == 0 || uint64_t{hex.LoadAddress} + hex.ImageLength - 1 <= 0xFFFFFFFFu);
  FUZZ_REQUIRE(IsEndOfFileRecord(LastLine({reinterpret_cast<const char*>(data), size})));
  FUZZ_REQUIRE(AllErased(hex.Image.get() + hex.ImageLength, hex.ImageCapacity - hex.ImageLength));
  return 0;
}
