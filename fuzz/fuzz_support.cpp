// Property failures and console capture for the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {
namespace {

// The memory file is emptied on the first Clear after it has grown this far.
constexpr off_t kRewindSize = off_t{1} << 20;

}  // namespace

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
  mark_ = End();
  if (mark_ < kRewindSize) return;
  if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) {
    PropertyViolated("captured output cleared", __FILE__, __LINE__);
  }
  mark_ = 0;
}

std::string cStdoutCapture::Text() {
  std::string text(static_cast<size_t>(End() - mark_), '\0');
  for (size_t done = 0; done < text.size();) {
    const ssize_t got = pread(fd_, text.data() + done, text.size() - done, mark_ + static_cast<off_t>(done));
    if (got <= 0) PropertyViolated("captured output read", __FILE__, __LINE__);
    done += static_cast<size_t>(got);
  }
  return text;
}

off_t cStdoutCapture::End() {
  std::fflush(stdout);
  // Standard output shares the memory file's offset: it is a duplicate.
  const off_t end = lseek(fd_, 0, SEEK_CUR);
  if (end < mark_) PropertyViolated("captured output position known", __FILE__, __LINE__);
  return end;
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
