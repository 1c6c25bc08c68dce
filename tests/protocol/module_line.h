// The module's end of a real serial line for the protocol tests: a
// pseudo-terminal master on Linux, whose slave is the port the server opens.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class cModuleLine {
 public:
  cModuleLine();
  ~cModuleLine();
  cModuleLine(const cModuleLine&) = delete;
  cModuleLine& operator=(const cModuleLine&) = delete;

  bool IsOpen() const;
  // The name the server connects to.
  std::wstring PortName() const;
  bool Write(const std::vector<uint8_t>& bytes);
  // Blocks until bytes arrive (their count), Interrupt() is called (0, or
  // the count of bytes the interrupted read had already taken) or the line
  // is gone (-1).
  long Read(uint8_t* buffer, size_t capacity);
  // Wakes a blocked Read; any thread.
  void Interrupt();
  // Drops the line as a module that leaves the bus does.
  void HangUp();

 private:
  struct sImpl;
  sImpl* impl_;
};
