// Lines of text handed over by any thread and written by a thread of its
// own, so that a slow or stuck file never holds up the thread that produced
// them (the protocol worker, for the traffic trace). The queue is bounded:
// a line that does not fit is dropped and counted, never waited for.
//
// Threads: Push and Dropped from any thread; Start and Finish once each, from
// the owner. A line pushed after Finish is refused, uncounted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/alertable.h"

class cLineWriter {
 public:
  // Writes one line whole, on the writer thread; false when the file refused
  // it, after which nothing more is handed to it.
  using Sink = std::function<bool(const std::string& line)>;

  cLineWriter(Sink sink, size_t limitBytes);
  // Finishes without waiting when the owner did not.
  ~cLineWriter();
  cLineWriter(const cLineWriter&) = delete;
  cLineWriter& operator=(const cLineWriter&) = delete;

  // Starts the writer thread; false when it cannot run (nothing is written).
  bool Start();
  // Queues the line unless the lines waiting already hold limitBytes with it
  // or Finish has run; false when it was not queued.
  bool Push(std::string line);
  // Lines dropped so far.
  uint64_t Dropped() const;
  // Queues closing (when not empty, whatever the limit), lets the writer write
  // all that waits and end, and waits at most timeoutMs for that. True when it
  // is done; otherwise the writer goes on alone, with all it needs, until the
  // file takes the rest or the process ends.
  bool Finish(std::string closing, uint32_t timeoutMs);

 private:
  struct sState;  // shared with the writer thread, which may outlive this object
  static void RunWriter(void* arg);
  std::shared_ptr<sState> state_;
  platform::cThread thread_;
  bool finished_ = false;
};
