// The per-thread reactor on Linux: calls queued from other threads wake the
// owner through an eventfd in its epoll set, next to the descriptors of the
// transfers it started; both run only inside the owner's alertable wait.
#include "platform/thread_reactor_posix.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/deadline_posix.h"

namespace platform {

cThreadReactor::cThreadReactor() : epoll_(epoll_create1(EPOLL_CLOEXEC)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
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

}  // namespace platform
