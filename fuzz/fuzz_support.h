// What every fuzz target shares: a property check that stops the run with a
// reproducer, and a capture of the console lines the code under test prints.
//
// Threads: single-threaded fuzz targets only.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace fuzz {

// Prints the failed property and aborts, so that libFuzzer saves the input.
[[noreturn]] void PropertyViolated(const char* property, const char* file, int line);

// Everything written to standard output from construction on goes to a
// memory file instead, so that a target can compare printed lines with the
// fields it expects. Clearing only moves a mark: the file is emptied once it
// has grown large, not per check, which keeps a check to one or two system
// calls.
class cStdoutCapture {
 public:
  cStdoutCapture();
  // Forgets what was captured so far.
  void Clear();
  // What was written since the last Clear.
  std::string Text();

 private:
  // Where standard output writes next, after flushing its buffer.
  off_t End();

  int fd_;
  off_t mark_ = 0;  // where the text since the last Clear starts
};

// The bytes as a little- or big-endian number, checked against the span's
// size by the caller.
uint32_t LittleEndian(std::span<const uint8_t> bytes);
uint32_t BigEndian(std::span<const uint8_t> bytes);

}  // namespace fuzz

#define FUZZ_REQUIRE(property) \
  ((property) ? static_cast<void>(0) : ::fuzz::PropertyViolated(#property, __FILE__, __LINE__))
