// Every wait of the simulator goes through one poll that also watches for
// SIGINT/SIGTERM, so that a run can be ended at any moment and still write its
// records. Single-threaded.
#pragma once
#include <chrono>
#include <exception>
#include <functional>

#include "platform/handle.h"

namespace sim {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// Why a run ended before or after its natural end (the reset).
enum class eRunEnd { Reset, IdleTimeout, NeverReturned, Signal, Failure, HostGone, Unplugged };
const char* RunEndName(eRunEnd end);

// Thrown from deep inside a stage to end the run.
class cRunEnded : public std::exception {
 public:
  explicit cRunEnded(eRunEnd reason) : reason_(reason) {}
  eRunEnd Reason() const { return reason_; }
  const char* what() const noexcept override { return RunEndName(reason_); }

 private:
  eRunEnd reason_;
};

class cWaiter {
 public:
  // Blocks SIGINT and SIGTERM for the process and receives them here.
  cWaiter();

  // Waits until fd reports one of events (or an error/hang-up) or the deadline
  // passes; returns the reported events, 0 on time-out. Throws
  // cRunEnded(Signal) when a stop signal arrives.
  short Wait(int fd, short events, Deadline deadline);
  void SleepUntil(Deadline deadline);
  // Takes the stop signals received so far, so that waiting can go on.
  void ClearSignal();
  void SleepFor(std::chrono::milliseconds duration) { SleepUntil(Clock::now() + duration); }
  // From now on every wait also watches fd (a source of commands): whenever
  // it is readable or hung up, onReadable runs and either ends the wait by
  // throwing or lets it go on by returning. One such descriptor at most.
  void AlsoWatch(int fd, std::function<void()> onReadable);

 private:
  platform::cHandle signals_;
  int watched_ = -1;
  std::function<void()> onWatched_;
};

}  // namespace sim
