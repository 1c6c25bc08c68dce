// The per-thread reactor behind the alertable wait on Linux: it holds the
// thread's queue of calls from other threads and the descriptors of the
// transfers the thread has started (the serial port's), and runs both only
// inside WaitAlertable on that thread. The serial port layer registers its
// descriptors here; nothing else outside platform/ uses it.
#pragma once
#include <cstdint>
#include <memory>

namespace platform {

// Something with descriptors in a reactor: told about readiness and asked to
// deliver completions it deferred, always on the reactor's thread inside its
// wait. Both return true when a completion callback ran.
class cReactorSource {
 public:
  virtual ~cReactorSource() = default;
  virtual bool OnReady(int tag, uint32_t events) = 0;
  virtual bool RunDeferred() = 0;
};

// The registration of one descriptor: what to tell and with which tag. It
// must stay at the same address while registered.
struct sReactorWatch {
  cReactorSource* source;
  int tag;
};

class cReactor {
 public:
  virtual ~cReactor() = default;
  // Watches fd for the epoll events given (0 keeps it registered but quiet).
  [[nodiscard]] virtual bool Watch(int fd, uint32_t events, sReactorWatch* watch) = 0;
  virtual void Unwatch(int fd) = 0;
  // Asks for source->RunDeferred() in the thread's next wait (owner thread).
  virtual void Defer(cReactorSource* source) = 0;
  // Drops every deferred request and readiness report of source. Any thread,
  // but the reactor's thread must not be running the source at the time.
  virtual void Forget(cReactorSource* source) = 0;
};

// The calling thread's reactor (made by PrepareAlertableThread or for a
// cThread), or null when the thread has none.
std::shared_ptr<cReactor> CurrentReactor();

}  // namespace platform
