// Property failures and the transcript of reported lines for the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <variant>

#include "text/utf8.h"

namespace fuzz {

void PropertyViolated(const char* property, const char* file, int line) {
  std::fprintf(stderr, "\nproperty violated: %s (%s:%d)\n", property, file, line);
  std::fflush(stderr);
  std::abort();
}

void cTranscript::Report(const report::Event& event) {
  if (const auto* line = std::get_if<report::sLine>(&event)) text_ += text::WideToUtf8(line->text) + "\n";
}

uint32_t LittleEndian(std::span<const uint8_t> bytes) {
  uint32_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

uint32_t BigEndian(std::span<const uint8_t> bytes) {
  uint32_t value = 0;
  for (uint8_t byte : bytes) value = (value << 8) | byte;
  return value;
}

}  // namespace fuzz
