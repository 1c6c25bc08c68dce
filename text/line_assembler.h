// Cutting of a byte stream (another instance's output) into lines, wherever
// the reads that bring it end.
//
// Threads: an assembler belongs to the thread that feeds it.
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace text {

// Cuts a byte stream into lines at "\n", dropping a "\r" before it.
class cLineAssembler {
 public:
  // Takes more bytes; calls onLine for each line they complete.
  void Feed(std::string_view bytes, const std::function<void(std::string_view)>& onLine);
  // The stream ended: a last line without its end is handed on too.
  void Finish(const std::function<void(std::string_view)>& onLine);

 private:
  std::string pending_;
};

}  // namespace text
