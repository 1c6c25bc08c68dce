// The alertable wait on Linux: queued calls and transfer completions of the
// calling thread run inside WaitAlertable only, before it looks at the
// objects; otherwise one ppoll sleeps on the objects' descriptors and the
// thread's epoll set until the deadline computed at entry.
#include <poll.h>

#include <array>
#include <cerrno>

#include "platform/alertable.h"
#include "platform/deadline_posix.h"
#include "platform/thread_reactor_posix.h"

namespace platform {

namespace {

// The thread's reactor; closing it at thread end makes later QueueCalls fail.
struct sReactorSlot {
  std::shared_ptr<cThreadReactor> reactor;
  ~sReactorSlot() {
    if (reactor) reactor->CloseQueue();
  }
};
thread_local sReactorSlot tReactor;

constexpr size_t kMaxWaitObjects = 8;

}  // namespace

// ---- the calling thread's reactor --------------------------------------

std::shared_ptr<cReactor> CurrentReactor() { return tReactor.reactor; }

void InstallThreadReactor(std::shared_ptr<cThreadReactor> reactor) { tReactor.reactor = std::move(reactor); }

void RemoveThreadReactor() {
  if (tReactor.reactor) tReactor.reactor->CloseQueue();
  tReactor.reactor.reset();
}

void PrepareAlertableThread() {
  if (!tReactor.reactor) tReactor.reactor = std::make_shared<cThreadReactor>();
}

// ---- WaitAlertable -----------------------------------------------------

sWakeResult WaitAlertable(std::initializer_list<cWaitable> objects, uint32_t timeoutMs) {
  cThreadReactor* reactor = tReactor.reactor.get();
  if (reactor == nullptr || !reactor->IsValid() || objects.size() > kMaxWaitObjects) {
    errno = EINVAL;
    return {eWake::Failed, 0};
  }
  const cDeadline deadline(timeoutMs);
  std::array<pollfd, kMaxWaitObjects + 1> fds{};
  const size_t count = objects.size();
  size_t i = 0;
  for (const cWaitable& object : objects) fds[i++] = pollfd{object.Handle().Get(), POLLIN, 0};
  fds[count] = pollfd{reactor->PollFd(), POLLIN, 0};

  for (;;) {
    if (reactor->RunPending()) return {eWake::IoCompletion, 0};
    const timespec remaining = deadline.Remaining();
    const int n = ppoll(fds.data(), count + 1, deadline.IsInfinite() ? nullptr : &remaining, nullptr);
    if (n < 0 && errno != EINTR) return {eWake::Failed, 0};
    for (size_t k = 0; n > 0 && k < count; ++k) {
      // Another waiter may have consumed the signal first: then wait on.
      if ((fds[k].revents & POLLIN) != 0 && ConsumeSignal(fds[k].fd)) return {eWake::Signalled, k};
      if ((fds[k].revents & POLLNVAL) != 0) return {eWake::Failed, k};
    }
    if (n > 0 && (fds[count].revents & POLLIN) != 0) {
      if (reactor->DispatchOne()) return {eWake::IoCompletion, 0};
    }
    if (deadline.HasPassed()) return {eWake::Timeout, 0};
  }
}

}  // namespace platform
