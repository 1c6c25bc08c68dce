// What every fuzz target shares: a property check that stops the run with a
// reproducer, and a capture of the console lines the code under test prints.
//
// Threads: single-threaded fuzz targets only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace fuzz {

// Prints the failed property and aborts, so that libFuzzer saves the input.
[[noreturn]] void PropertyViolated(const char* property, const char* file, int line);

// Everything written to standard output from construction on goes to a
// memory file instead, so that a target can compare printed lines with the
// fields it expects.
class cStdoutCapture {
 public:
  cStdoutCapture();
  // Forgets what was captured so far.
  void Clear();
  // What was written since the last Clear.
  std::string Text();

 private:
  int fd_;
};

// The bytes as a little- or big-endian number, checked against the span's
// size by the caller.
uint32_t LittleEndian(std::span<const uint8_t> bytes);
uint32_t BigEndian(std::span<const uint8_t> bytes);

}  // namespace fuzz

#define FUZZ_REQUIRE(property) \
  ((property) ? static_cast<void>(0) : ::fuzz::PropertyViolated(#property, __FILE__, __LINE__))
