// The alertable wait on Linux: queued calls and transfer completions of the
// calling thread run inside WaitAlertable only, before it looks at the
// objects; otherwise one ppoll sleeps on the objects' descriptors and the
// thread's epoll set until the deadline computed at entry.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
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

// ---- cThreadReactor ----------------------------------------------------

cThreadReactor::cThreadReactor()
    : epoll_(epoll_create1(EPOLL_CLOEXEC)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!IsValid()) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;  // the wake-up descriptor has no watch record
  if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &ev) != 0) epoll_.Close();
}

bool cThreadReactor::Post(QueuedCall fn, void* arg) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_ || !IsValid()) return false;
    calls_.push_back({fn, arg});
  }
  const uint64_t one = 1;
  // A full counter still leaves the descriptor readable, so the call runs.
  (void)!write(wake_.Get(), &one, sizeof one);
  return true;
}

void cThreadReactor::CloseQueue() {
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = true;
  calls_.clear();
  deferred_.clear();
}

bool cThreadReactor::RunOneCall() {
  sCall call{};
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (calls_.empty()) return false;
    call = calls_.front();
    calls_.pop_front();
  }
  call.fn(call.arg);
  return true;
}

bool cThreadReactor::RunOneDeferred(bool& ran) {
  cReactorSource* source = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (deferred_.empty()) return false;
    source = deferred_.front();
    deferred_.erase(deferred_.begin());
  }
  ran = source->RunDeferred() || ran;
  return true;
}

bool cThreadReactor::RunPending() {
  bool ran = false;
  // One at a time, so that a call or completion may queue, defer or forget
  // others; whatever is queued meanwhile runs in this same pass.
  for (;;) {
    if (RunOneCall()) {
      ran = true;
      continue;
    }
    if (!RunOneDeferred(ran)) return ran;
  }
}

bool cThreadReactor::DispatchOne() {
  epoll_event ev{};
  if (epoll_wait(epoll_.Get(), &ev, 1, 0) != 1) return false;
  auto* watch = static_cast<sReactorWatch*>(ev.data.ptr);
  if (watch == nullptr) {
    ConsumeSignal(wake_.Get());  // the queued calls run at the top of the wait
    return false;
  }
  return watch->source->OnReady(watch->tag, ev.events);
}

bool cThreadReactor::Watch(int fd, uint32_t events, sReactorWatch* watch) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = watch;
  if (epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &ev) == 0) return true;
  return errno == ENOENT && epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void cThreadReactor::Unwatch(int fd) { epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr); }

void cThreadReactor::Defer(cReactorSource* source) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!closed_) deferred_.push_back(source);
}

void cThreadReactor::Forget(cReactorSource* source) {
  std::lock_guard<std::mutex> guard(lock_);
  deferred_.erase(std::remove(deferred_.begin(), deferred_.end(), source), deferred_.end());
}

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
