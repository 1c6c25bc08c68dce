// The simulator's control channel: a FIFO it makes at a path given on its
// command line, into which a test writes commands one a line, opening and
// closing it as often as it likes. Single-threaded: the simulator's parent
// process reads it.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "platform/handle.h"

namespace sim {

class cControlFifo {
 public:
  // Makes the FIFO (mode 0600; the path must not exist) and opens it without
  // blocking. It holds a writer of its own, so that a test closing its end
  // is no end of the commands. Throws std::runtime_error saying why when
  // refused.
  explicit cControlFifo(const std::filesystem::path& path);
  // Removes the FIFO.
  ~cControlFifo();
  cControlFifo(const cControlFifo&) = delete;
  cControlFifo& operator=(const cControlFifo&) = delete;

  // The descriptor to wait on for commands.
  int Fd() const { return reader_.Get(); }
  // The whole lines written so far, without their line ends; a line not yet
  // ended waits for the rest.
  std::vector<std::string> TakeLines();

 private:
  std::filesystem::path path_;
  platform::cHandle reader_, writer_;
  std::string pending_;
};

}  // namespace sim
