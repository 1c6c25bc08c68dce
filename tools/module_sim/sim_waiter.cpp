// poll() with a deadline and a signalfd beside the descriptor waited for.
#include "tools/module_sim/sim_waiter.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace sim {

const char* RunEndName(eRunEnd end) {
  switch (end) {
    case eRunEnd::Reset:
      return "reset";
    case eRunEnd::IdleTimeout:
      return "idle-timeout";
    case eRunEnd::NeverReturned:
      return "never-returned";
    case eRunEnd::Signal:
      return "signal";
    case eRunEnd::Failure:
      return "failure";
    case eRunEnd::HostGone:
      return "host-gone";
    case eRunEnd::Unplugged:
      return "unplugged";
  }
  return "?";
}

cWaiter::cWaiter() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signals_ = platform::cHandle(signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals_.IsValid()) throw std::runtime_error("signalfd failed");
}

short cWaiter::Wait(int fd, short events, Deadline deadline) {
  for (;;) {
    // To the nanosecond: the line's pacing sleeps for microseconds at a time.
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    const long long leftNs = std::clamp<long long>(left.count(), 0, (1LL << 30) * 1000000000LL);
    const timespec timeout{static_cast<time_t>(leftNs / 1000000000LL), static_cast<long>(leftNs % 1000000000LL)};
    // poll passes over an entry whose descriptor is negative.
    pollfd fds[3] = {{signals_.Get(), POLLIN, 0}, {watched_, POLLIN, 0}, {fd, events, 0}};
    const int ready = ppoll(fds, 3, &timeout, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw std::runtime_error("poll failed");
    if (fds[0].revents) throw cRunEnded(eRunEnd::Signal);
    if (fds[1].revents) onWatched_();
    if (fd >= 0 && fds[2].revents) return fds[2].revents;
    if (leftNs == 0 || Clock::now() >= deadline) return 0;
  }
}

void cWaiter::AlsoWatch(int fd, std::function<void()> onReadable) {
  watched_ = fd;
  onWatched_ = std::move(onReadable);
}

void cWaiter::SleepUntil(Deadline deadline) { Wait(-1, 0, deadline); }

// Called once the descriptor was readable: one read takes every pending stop
// signal (each of the two is pending at most once).
void cWaiter::ClearSignal() {
  signalfd_siginfo received[2];
  if (read(signals_.Get(), received, sizeof received) < 0) throw std::runtime_error("signalfd read failed");
}

}  // namespace sim
