// Property failures and console capture for the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void PropertyViolated(const char* property, const char* file, int line) {
  std::fprintf(stderr, "\nproperty violated: %s (%s:%d)\n", property, file, line);
  std::fflush(stderr);
  std::abort();
}

cStdoutCapture::cStdoutCapture() : fd_(memfd_create("zntv-fuzz-stdout", 0)) {
  std::fflush(stdout);
  if (fd_ < 0 || dup2(fd_, STDOUT_FILENO) < 0) PropertyViolated("standard output captured", __FILE__, __LINE__);
}

void cStdoutCapture::Clear() {
  std::fflush(stdout);
  if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) {
    PropertyViolated("captured output cleared", __FILE__, __LINE__);
  }
}

std::string cStdoutCapture::Text() {
  std::fflush(stdout);
  std::string text;
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t got = pread(fd_, chunk, sizeof chunk, at);
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
    at += got;
  }
  return text;
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
