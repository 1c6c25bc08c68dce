// The bookkeeping both systems' instance runners share (child_process.h):
// the handlers, the silence limit, and which instances are still running.
// What a runner keeps of an instance goes when it ends, so that one that
// starts instances for months (the station mode) does not grow with them.
//
// Threads: the runner's thread only.
#pragma once
#include <chrono>
#include <cstddef>
#include <unordered_set>
#include <utility>

#include "platform/child_process.h"

namespace platform {

struct sInstanceBook {
  sInstanceBook(ChildLineHandler lineHandler, InstanceEndHandler endHandler, std::chrono::milliseconds limit)
      : onLine(std::move(lineHandler)), onEnd(std::move(endHandler)), silenceLimit(limit) {}

  // The next instance's index; it is not running until Started.
  size_t Add();
  void Started(size_t instance);
  bool IsRunning(size_t instance) const { return running.contains(instance); }
  // The instance has ended (or was given up on): onEnd hears how.
  void End(size_t instance, const sInstanceEnd& end);

  ChildLineHandler onLine;
  InstanceEndHandler onEnd;
  std::chrono::milliseconds silenceLimit;
  size_t added = 0;                    // instances so far
  std::unordered_set<size_t> running;  // started and not yet ended
  size_t ended = 0;                    // since the runner's wait began
};

}  // namespace platform
