// What every fuzz target shares: a property check that stops the run with a
// reproducer, and a transcript of the lines the code under test reports.
//
// Threads: single-threaded fuzz targets only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "report/events.h"

namespace fuzz {

// Prints the failed property and aborts, so that libFuzzer saves the input.
[[noreturn]] void PropertyViolated(const char* property, const char* file, int line);

// The lines the code under test reports (sLine), as the console prints them,
// each ending in "\n", so that a target can compare reported lines with the
// fields it expects.
class cTranscript : public report::cSink {
 public:
  void Report(const report::Event& event) override;
  // Forgets what was reported so far.
  void Clear() { text_.clear(); }
  // What was reported since the last Clear.
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// The bytes as a little- or big-endian number, checked against the span's
// size by the caller.
uint32_t LittleEndian(std::span<const uint8_t> bytes);
uint32_t BigEndian(std::span<const uint8_t> bytes);

}  // namespace fuzz

#define FUZZ_REQUIRE(property) \
  ((property) ? static_cast<void>(0) : ::fuzz::PropertyViolated(#property, __FILE__, __LINE__))
