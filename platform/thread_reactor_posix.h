// The concrete per-thread reactor of the POSIX layer: an epoll set holding
// the wake-up eventfd of the queued-call queue and the registered transfer
// descriptors. Shared by the alertable wait and cThread (platform-internal).
#pragma once
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/alertable.h"
#include "platform/handle.h"
#include "platform/reactor_posix.h"

namespace platform {

class cThreadReactor final : public cReactor {
 public:
  cThreadReactor();
  bool IsValid() const { return epoll_.IsValid() && wake_.IsValid(); }
  int PollFd() const { return epoll_.Get(); }

  // Any thread: queue fn(arg) for the owner's next wait; false once closed.
  [[nodiscard]] bool Post(QueuedCall fn, void* arg);
  // The owner thread is ending: later posts fail, queued calls never run.
  void CloseQueue();

  // Owner thread, inside the wait: run every queued call and deferred
  // completion; true when at least one ran.
  [[nodiscard]] bool RunPending();
  // Owner thread, inside the wait: handle one ready descriptor; true when a
  // completion callback ran.
  [[nodiscard]] bool DispatchOne();

  bool Watch(int fd, uint32_t events, sReactorWatch* watch) override;
  void Unwatch(int fd) override;
  void Defer(cReactorSource* source) override;
  void Forget(cReactorSource* source) override;

 private:
  struct sCall {
    QueuedCall fn;
    void* arg;
  };
  [[nodiscard]] bool RunOneCall();
  [[nodiscard]] bool RunOneDeferred(bool& ran);

  cHandle epoll_;
  cHandle wake_;
  std::mutex lock_;  // guards the three members below
  std::deque<sCall> calls_;
  std::vector<cReactorSource*> deferred_;
  bool closed_ = false;
};

// Installs reactor as the calling thread's own (a cThread's first act).
void InstallThreadReactor(std::shared_ptr<cThreadReactor> reactor);
// Closes and drops the calling thread's reactor (a cThread's last act).
void RemoveThreadReactor();

}  // namespace platform
