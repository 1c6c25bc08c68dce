// Tells whether anything opened a file, a device node or a FIFO while it was
// watched, for tests that show a path is refused before it is opened (opening
// a serial line raises its modem lines; looking at it does not). Looking at a
// node (stat, or an O_PATH handle) is not an open and is not seen.
//
// Threads: the test's own thread.
#pragma once
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "platform/handle.h"

namespace test_support {

class cOpenWatch {
 public:
  explicit cOpenWatch(const std::string& path) : watch_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    valid_ = watch_.IsValid() && inotify_add_watch(watch_.Get(), path.c_str(), IN_OPEN) >= 0;
  }

  // False when the system would not watch the path.
  bool IsValid() const { return valid_; }

  // True when the path was opened since the watch began (the event is queued
  // by the open itself, before it returns).
  bool SawOpen() const {
    alignas(inotify_event) char events[4096];
    return read(watch_.Get(), events, sizeof events) > 0;
  }

 private:
  platform::cHandle watch_;
  bool valid_ = false;
};

}  // namespace test_support
