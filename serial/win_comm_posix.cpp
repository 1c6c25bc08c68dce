// The serial port on a Linux tty: termios for the line, non-blocking
// descriptors in the starting thread's reactor for the transfers, and a
// timerfd per direction for the Windows-style time-outs (the tty's own VTIME
// counts in tenths of a second, far coarser than the 2 ms read interval).
// Completions run on the thread that started the transfer, inside its
// WaitAlertable, with the busy mark cleared before the callback.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "platform/alertable.h"
#include "platform/deadline_posix.h"
#include "platform/errors.h"
#include "platform/reactor_posix.h"
#include "serial/win_comm.h"
#include "text/utf8.h"

namespace {

enum eTag { eTagPort, eTagReadTimer, eTagWriteTimer };

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNoDeadline = INT64_MAX;

// One direction of transfers: its busy mark, the caller's buffer and its
// time-out deadlines on CLOCK_MONOTONIC.
struct sDirection {
  bool busy = false;      // a transfer is started and its callback not yet run
  bool finished = false;  // its outcome is known; the callback is still due
  uint32_t error = 0;
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  uint32_t done = 0;
  int64_t totalDueNs = kNoDeadline;
  int64_t intervalDueNs = kNoDeadline;
  int64_t timerDueNs = kNoDeadline;  // what the timer is set to; kNoDeadline: disarmed
  platform::cHandle timer{timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
  platform::sReactorWatch timerWatch{};

  bool InFlight() const { return busy && !finished; }
  int64_t NextDueNs() const { return std::min(totalDueNs, intervalDueNs); }
};

// Deadline of a "multiplier × bytes + constant" time-out; none when both are 0.
int64_t TotalDeadline(uint32_t multiplierMs, uint32_t constantMs, uint32_t bytes) {
  if (multiplierMs == 0 && constantMs == 0) return kNoDeadline;
  const int64_t ms = static_cast<int64_t>(multiplierMs) * bytes + constantMs;
  return platform::MonotonicNowNs() + ms * kNsPerMs;
}

}  // namespace

struct cWinComm::sImpl final : platform::cReactorSource {
  explicit sImpl(cWinComm* owner) : port(owner) {
    read.timerWatch = {this, eTagReadTimer};
    write.timerWatch = {this, eTagWriteTimer};
  }

  bool OnReady(int tag, uint32_t events) override;
  bool RunDeferred() override { return DeliverFinished(); }

  bool BindToCallingThread();
  bool Start(sDirection& d, uint8_t* buffer, uint32_t length, int64_t totalDueNs);
  void Finish(sDirection& d, uint32_t error);
  void FinishLater(sDirection& d, uint32_t error);
  bool DeliverFinished();
  bool Deliver(sDirection& d, cIoCallback* callback);
  void PumpRead();
  bool EndsAtEventCharacter() const;
  bool PumpWrite();
  void OnTimer(sDirection& d);
  void DeviceGone();
  void UpdateWatches();
  void ArmTimer(sDirection& d);
  void Detach();

  cWinComm* port;
  platform::cHandle fd;
  bool exclusive = false;  // this port set TIOCEXCL, and clears it at Close
  bool gone = false;       // the device vanished: no new transfers
  sCommTimeouts timeouts{};
  std::optional<uint8_t> eventCharacter;        // a read ends at it when nothing follows
  std::shared_ptr<platform::cReactor> reactor;  // of the thread running the transfers
  platform::sReactorWatch portWatch{this, eTagPort};
  bool portWatched = false;
  uint32_t watchedEvents = 0;  // what the port is watched for while portWatched
  sDirection read;
  sDirection write;
};

// ---- reactor side: runs on the owning thread inside its wait ------------

bool cWinComm::sImpl::OnReady(int tag, uint32_t events) {
  if (tag == eTagReadTimer) {
    OnTimer(read);
  } else if (tag == eTagWriteTimer) {
    OnTimer(write);
  } else {
    if (read.InFlight() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) PumpRead();
    if (write.InFlight() && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0 && PumpWrite()) {
      Finish(write, platform::kErrorSuccess);
    }
    // Hang-up with nothing left to read or write: the device is gone.
    if ((events & (EPOLLHUP | EPOLLERR)) != 0 && (read.InFlight() || write.InFlight())) DeviceGone();
  }
  UpdateWatches();
  return DeliverFinished();
}

void cWinComm::sImpl::PumpRead() {
  bool gotBytes = false;
  bool drained = false;  // the tty had nothing more to give
  while (read.done < read.length) {
    const ssize_t n = ::read(fd.Get(), read.buffer + read.done, read.length - read.done);
    if (n > 0) {
      read.done += static_cast<uint32_t>(n);
      gotBytes = true;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      drained = true;
      break;
    } else {
      // End of file or an I/O error on a tty: the line hung up. Bytes already
      // read are delivered first; the next start is refused.
      if (read.done > 0) Finish(read, platform::kErrorSuccess);
      DeviceGone();
      return;
    }
  }
  if (read.done == read.length || (gotBytes && drained && EndsAtEventCharacter())) {
    Finish(read, platform::kErrorSuccess);
  } else if (gotBytes && timeouts.readIntervalMs != 0) {
    read.intervalDueNs = platform::MonotonicNowNs() + timeouts.readIntervalMs * kNsPerMs;
    // Bytes trickling in only move the interval's end later: a timer that is
    // set already fires before it and is set again then, once per interval
    // rather than once per burst.
    if (read.timerDueNs > read.NextDueNs()) ArmTimer(read);
  }
}

bool cWinComm::sImpl::EndsAtEventCharacter() const {
  return eventCharacter && read.done > 0 && read.buffer[read.done - 1] == *eventCharacter;
}

// Writes what the line takes now; true when the whole transfer is written.
// Finishes the transfer on a hang-up or an error.
bool cWinComm::sImpl::PumpWrite() {
  while (write.done < write.length) {
    const ssize_t n = ::write(fd.Get(), write.buffer + write.done, write.length - write.done);
    if (n > 0) {
      write.done += static_cast<uint32_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return false;
    } else {
      DeviceGone();
      return false;
    }
  }
  return true;
}

void cWinComm::sImpl::OnTimer(sDirection& d) {
  platform::ConsumeSignal(d.timer.Get());
  d.timerDueNs = kNoDeadline;  // a one-shot timer that has fired is disarmed
  if (!d.InFlight()) return;
  // Bytes that reached the tty before the interval ran out extend it.
  if (&d == &read) PumpRead();
  if (!d.InFlight()) return;
  const int64_t now = platform::MonotonicNowNs();
  if (now >= d.totalDueNs) {
    // A read that runs out of time completes normally with what it has; a
    // write reports the time-out with the count actually written.
    Finish(d, &d == &read ? platform::kErrorSuccess : platform::kErrorTimeout);
  } else if (now >= d.intervalDueNs && d.done > 0) {
    Finish(d, platform::kErrorSuccess);
  } else {
    ArmTimer(d);
  }
}

void cWinComm::sImpl::DeviceGone() {
  gone = true;
  if (read.InFlight()) Finish(read, platform::kErrorDeviceNotConnected);
  if (write.InFlight()) Finish(write, platform::kErrorDeviceNotConnected);
}

void cWinComm::sImpl::Finish(sDirection& d, uint32_t error) {
  d.finished = true;
  d.error = error;
  d.totalDueNs = d.intervalDueNs = kNoDeadline;
  ArmTimer(d);
}

void cWinComm::sImpl::FinishLater(sDirection& d, uint32_t error) {
  Finish(d, error);
  UpdateWatches();
  reactor->Defer(this);
}

bool cWinComm::sImpl::DeliverFinished() {
  // Read first: its callback may start the next read, or close the port, in
  // which case the write's completion is dropped with it.
  bool ran = Deliver(read, port->RxCallback);
  ran = Deliver(write, port->TxCallback) || ran;
  return ran;
}

bool cWinComm::sImpl::Deliver(sDirection& d, cIoCallback* callback) {
  if (!d.busy || !d.finished || !port->IsReady()) return false;
  d.busy = false;
  d.finished = false;
  callback->OnIoComplete(d.error, d.done);
  return true;
}

// The port descriptor is in the reactor only while a transfer waits on it,
// so a hung-up line cannot keep waking an idle thread. The reactor is told
// only of changes: a streamed write or a restarted read usually makes none.
void cWinComm::sImpl::UpdateWatches() {
  if (!reactor) return;
  const uint32_t events = (read.InFlight() ? EPOLLIN : 0u) | (write.InFlight() ? EPOLLOUT : 0u);
  if (events != 0 && !gone) {
    if (portWatched && events == watchedEvents) return;
    portWatched = reactor->Watch(fd.Get(), events, &portWatch);
    watchedEvents = events;
  } else if (portWatched) {
    reactor->Unwatch(fd.Get());
    portWatched = false;
  }
}

void cWinComm::sImpl::ArmTimer(sDirection& d) {
  const int64_t due = d.finished ? kNoDeadline : d.NextDueNs();
  if (due == d.timerDueNs) return;
  const itimerspec setting = due == kNoDeadline ? itimerspec{} : platform::OneShotTimer(due);
  timerfd_settime(d.timer.Get(), TFD_TIMER_ABSTIME, &setting, nullptr);
  d.timerDueNs = due;
}

// ---- starting transfers: the calling thread owns them -------------------

bool cWinComm::sImpl::BindToCallingThread() {
  std::shared_ptr<platform::cReactor> current = platform::CurrentReactor();
  if (!current) {
    errno = EINVAL;  // the thread cannot wait alertably, so nothing could complete
    return false;
  }
  if (current == reactor) return true;
  if (read.busy || write.busy) {
    errno = EBUSY;  // transfers of another thread are still outstanding
    return false;
  }
  Detach();
  reactor = std::move(current);
  return reactor->Watch(read.timer.Get(), EPOLLIN, &read.timerWatch) &&
         reactor->Watch(write.timer.Get(), EPOLLIN, &write.timerWatch);
}

bool cWinComm::sImpl::Start(sDirection& d, uint8_t* buffer, uint32_t length, int64_t totalDueNs) {
  if (gone) errno = ENODEV;
  const bool bound = !gone && BindToCallingThread();
  d.busy = true;  // a refused start keeps the direction busy until Close
  if (!bound) return false;
  d.buffer = buffer;
  d.length = length;
  d.done = 0;
  d.totalDueNs = totalDueNs;
  d.intervalDueNs = kNoDeadline;
  // A write the line takes at once (or an empty transfer) is done: its
  // completion waits for the thread's next wait, as an overlapped write that
  // completes at once still reports through its completion routine.
  if (length == 0 || (&d == &write && PumpWrite())) {
    FinishLater(d, platform::kErrorSuccess);
    return true;
  }
  if (gone) {
    // The first attempt met a hang-up: what it finished is reported in the
    // thread's next wait.
    UpdateWatches();
    reactor->Defer(this);
    return true;
  }
  ArmTimer(d);
  UpdateWatches();
  return true;
}

// Leaves the current reactor: nothing of this port stays registered there.
void cWinComm::sImpl::Detach() {
  if (!reactor) return;
  if (portWatched) reactor->Unwatch(fd.Get());
  portWatched = false;
  reactor->Unwatch(read.timer.Get());
  reactor->Unwatch(write.timer.Get());
  reactor->Forget(this);
  reactor.reset();
}

// ---- cWinComm ----------------------------------------------------------

cWinComm::cWinComm() : impl_(std::make_unique<sImpl>(this)) {}

cWinComm::~cWinComm() { Close(); }

std::wstring cWinComm::PathFor(const std::wstring& portName) { return portName; }

namespace {

// Only a character device is opened: opening a FIFO or a file planted under
// the port's name could wake whoever waits on it.
bool IsCharacterDevice(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  if (S_ISCHR(status.st_mode)) return true;
  errno = ENOTTY;
  return false;
}

// Takes the line for this descriptor alone. TIOCEXCL keeps other processes
// out but not root, so a line another program already holds that way is
// refused here, as the kernel refuses everyone else; and the lock keeps out
// every process that locks too, root included. Clears only the exclusivity
// it set itself.
bool TakeExclusively(int fd) {
  // A kernel older than 3.8 cannot tell; the open then goes on as before.
  int heldElsewhere = 0;
  if (ioctl(fd, TIOCGEXCL, &heldElsewhere) != 0) heldElsewhere = 0;
  if (heldElsewhere != 0) {
    errno = EBUSY;
    return false;
  }
  if (ioctl(fd, TIOCEXCL) != 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ioctl(fd, TIOCNXCL);
    errno = error == EWOULDBLOCK ? EBUSY : error;
    return false;
  }
  return true;
}

}  // namespace

// The open, the line set-up and the close are port calls: a driver gone bad
// may hold them up for good. An open that returns after its thread was
// abandoned closes what it opened.
bool cWinComm::OpenPath(const std::wstring& path, bool exclusive) {
  const std::string nativePath = text::WideToUtf8(path);
  if (!IsCharacterDevice(nativePath)) return false;
  const char* const name = nativePath.c_str();
  platform::cHandle fd(platform::InPortCall([name] { return ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); },
                                            [](int opened) {
                                              if (opened >= 0) ::close(opened);
                                            }));
  if (!fd.IsValid()) return false;
  if (exclusive && !TakeExclusively(fd.Get())) return false;
  // The receive queue starts empty, as a real tty's last close leaves it: what
  // arrived before this open (an answer the last phase left unread, on a line
  // another process still holds) belongs to no exchange of this one. A line
  // that refuses the flush (hung up already) tells so at its first transfer.
  const int descriptor = fd.Get();
  platform::InPortCall([descriptor] { return tcflush(descriptor, TCIFLUSH); });
  impl_->fd = std::move(fd);
  impl_->exclusive = exclusive;
  impl_->gone = false;
  impl_->timeouts = {};
  impl_->eventCharacter.reset();
  return true;
}

bool cWinComm::Close() {
  portName_.clear();
  if (!IsOpen()) return true;
  impl_->Detach();
  if (impl_->exclusive) ioctl(impl_->fd.Get(), TIOCNXCL);
  for (sDirection* d : {&impl_->read, &impl_->write}) {
    d->busy = d->finished = false;
    d->totalDueNs = d->intervalDueNs = kNoDeadline;
    impl_->ArmTimer(*d);
  }
  // The descriptor is gone even when close reports an error, so it is never
  // closed twice.
  return platform::InPortCall([fd = impl_->fd.Release()] { return ::close(fd); }) == 0;
}

bool cWinComm::Read(uint8_t* buffer, uint32_t length) {
  if (!IsReady() || impl_->read.busy) return false;
  if (!IsOpen() || (buffer == nullptr && length != 0)) {
    errno = !IsOpen() ? EBADF : EINVAL;
    return false;
  }
  return impl_->Start(
      impl_->read, buffer, length,
      TotalDeadline(impl_->timeouts.readTotalMultiplierMs, impl_->timeouts.readTotalConstantMs, length));
}

bool cWinComm::Write(const uint8_t* buffer, uint32_t length) {
  if (!IsReady() || impl_->write.busy) return false;
  if (!IsOpen() || (buffer == nullptr && length != 0)) {
    errno = !IsOpen() ? EBADF : EINVAL;
    return false;
  }
  // The write only reads from the buffer; the direction record is shared.
  return impl_->Start(
      impl_->write, const_cast<uint8_t*>(buffer), length,
      TotalDeadline(impl_->timeouts.writeTotalMultiplierMs, impl_->timeouts.writeTotalConstantMs, length));
}

bool cWinComm::IsOpen() const { return impl_->fd.IsValid(); }

bool cWinComm::ApplyLineSettings() {
  if (!IsOpen()) return false;
  termios tio{};
  const int fd = impl_->fd.Get();
  if (platform::InPortCall([fd, &tio] { return tcgetattr(fd, &tio); }) != 0) return false;
  // Raw bytes both ways: no XON/XOFF, no marking or stripping of bytes with
  // errors, no line editing, signals or output processing; 8 data bits and
  // the receiver on. Speed, parity, stop bits and handshake stay as they are.
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS8 | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return platform::InPortCall([fd, &tio] { return tcsetattr(fd, TCSANOW, &tio); }) == 0;
}

bool cWinComm::SetTimeouts(const sCommTimeouts& timeouts) {
  if (!IsOpen()) return false;
  impl_->timeouts = timeouts;
  return true;
}

bool cWinComm::SetEventCharacter(uint8_t character) {
  if (!IsOpen()) return false;
  impl_->eventCharacter = character;
  return true;
}

bool cWinComm::PurgeTransmit() {
  if (!IsOpen()) return false;
  if (tcflush(impl_->fd.Get(), TCOFLUSH) != 0) return false;
  // The write in flight ends as aborted, reported in the owner's next wait.
  if (impl_->write.InFlight()) impl_->FinishLater(impl_->write, platform::kErrorOperationAborted);
  return true;
}

// The tty layer keeps no error state that must be read to go on receiving.
bool cWinComm::ClearErrors() { return IsOpen(); }

bool cWinComm::CancelIo() {
  if (!IsOpen()) return false;
  if (!impl_->reactor || impl_->reactor != platform::CurrentReactor()) return true;
  // Like Windows: the transfers end as aborted and their completions wait
  // for the thread's next alertable wait; Close drops them, and a thread
  // that ends first never runs them.
  for (sDirection* d : {&impl_->read, &impl_->write}) {
    if (d->InFlight()) impl_->FinishLater(*d, platform::kErrorOperationAborted);
  }
  return true;
}

// CancelIo finishes the transfers at once and Close forgets them with the
// reactor's registrations: nothing of the old port outlives Close, and there
// is nothing to wait for or to forget.
bool cWinComm::AwaitCancelledTransfers(uint32_t) { return true; }
void cWinComm::ForgetTransfersOfEndedThread() {}
