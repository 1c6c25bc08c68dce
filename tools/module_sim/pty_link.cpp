// Pseudo-terminal plumbing of the simulated serial line. A pty master reports
// a hang-up for as long as nobody holds the slave open; the link then waits
// for the host's next open through inotify instead of spinning on poll().
#include "tools/module_sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// Enough for any frame the host sends (a fully escaped 8 KiB write and more).
constexpr size_t kDeframerCapacity = 1 << 18;
// Longest time away from the line (processing, answering, waking late) that
// bytes found waiting are taken to have been arriving for.
constexpr auto kBusyLineCredit = std::chrono::milliseconds(5);

const char* TracePhase(eStage stage) {
  switch (stage) {
    case eStage::Diag:
      return "DIAG";
    case eStage::Dl:
      return "DL";
    case eStage::Sdl:
      return "SDL";
  }
  return "?";
}

}  // namespace

size_t cPacer::Chunk(size_t wanted) const {
  if (!rate_) return wanted;
  return std::clamp<size_t>(static_cast<size_t>(rate_ / 100), 1, wanted);
}

void cPacer::Account(size_t size, bool lineBusy) {
  if (!rate_ || size == 0) return;
  const auto transfer =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(size) / double(rate_)));
  // An idle line starts its transfer now; a busy one right after the last,
  // unless the module was away so long that the bytes may have come late.
  const Deadline now = Clock::now();
  due_ = (lineBusy && now - due_ < kBusyLineCredit ? due_ : std::max(due_, now)) + transfer;
  waiter_.SleepUntil(due_);
}

cPtyLink::cPtyLink(cWaiter& waiter, const sTimingOptions& timing, const sMisbehaviourOptions& misbehaviour)
    : waiter_(waiter),
      timing_(timing),
      splitBytes_(misbehaviour.splitBytes),
      splitGap_(misbehaviour.splitGapMs),
      readPacer_(waiter, timing.linkSpeed),
      writePacer_(waiter, timing.linkSpeed),
      deframer_(kDeframerCapacity),
      writtenFrames_(kDeframerCapacity) {}

std::filesystem::path cPtyLink::Open() {
  platform::cHandle master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!master.IsValid() || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) {
    throw std::runtime_error("cannot create a pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master.Get(), name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  master_ = std::move(master);
  slave_ = name;
  deframer_ = cHdlcDeframer(kDeframerCapacity);
  writtenFrames_ = cHdlcDeframer(kDeframerCapacity);
  packets_.clear();
  heldByHost_ = false;
  return slave_;
}

void cPtyLink::Close() { master_.Close(); }

Bytes cPtyLink::NextPacket() {
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(timing_.idleTimeoutMs);
  while (packets_.empty()) ReadAvailable(deadline);
  Bytes packet = std::move(packets_.front());
  packets_.pop_front();
  return packet;
}

// Bytes already waiting are taken at once, without a poll first: at full
// speed the host keeps the line busy, and each saved system call counts.
void cPtyLink::ReadAvailable(Deadline deadline) {
  uint8_t buffer[4096];
  const size_t chunk = readPacer_.Chunk(sizeof buffer);
  ssize_t got = read(master_.Get(), buffer, chunk);
  const bool waiting = got > 0;  // the line carried them while the module was busy
  if (got < 0 && errno == EAGAIN) {
    const short events = waiter_.Wait(master_.Get(), POLLIN, deadline);
    if (events == 0) throw cRunEnded(eRunEnd::IdleTimeout);
    if (!(events & POLLIN)) {
      WaitForHostToOpen(deadline);
      return;
    }
    got = read(master_.Get(), buffer, chunk);
  }
  if (got < 0 && errno == EIO) {
    WaitForHostToOpen(deadline);  // the host closed the port; it may open it again
    return;
  }
  if (got <= 0) return;  // EAGAIN or EINTR: poll again
  heldByHost_ = true;
  if (readBytes_) readBytes_->insert(readBytes_->end(), buffer, buffer + got);
  deframer_.Feed(
      buffer, static_cast<size_t>(got),
      [this](const uint8_t* payload, size_t size) {
        if (trace_) trace_->Frame(eTraceDirection::Received, TracePhase(stage_), payload, size);
        packets_.emplace_back(payload, payload + size);
      },
      [this](const uint8_t* bytes, size_t size) {
        if (trace_) trace_->Frame(eTraceDirection::ReceivedDamaged, TracePhase(stage_), bytes, size);
      });
  readPacer_.Account(static_cast<size_t>(got), waiting);
}

// The watch goes on before the hang-up is checked again, so an open that
// happens in between is not missed. A host that held the line and let go of
// it gets the host-gone time to take it again: the updater reopens the port
// at once when one phase hands the module to the next, and otherwise has
// failed or ended. A terminal the host never opened gets the idle time-out
// (a person may be starting the updater by hand).
void cPtyLink::WaitForHostToOpen(Deadline deadline) {
  platform::cHandle watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch.IsValid() || inotify_add_watch(watch.Get(), slave_.c_str(), IN_OPEN) < 0) {
    throw std::runtime_error("cannot watch " + slave_.string());
  }
  const bool letGo = heldByHost_ && timing_.hostGoneMs != 0;
  const Deadline until =
      letGo ? std::min(deadline, Clock::now() + std::chrono::milliseconds(timing_.hostGoneMs)) : deadline;
  for (;;) {
    pollfd probe{master_.Get(), POLLIN, 0};
    if (poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) {
      heldByHost_ = true;
      return;
    }
    if (waiter_.Wait(watch.Get(), POLLIN, until) == 0) {
      throw cRunEnded(until < deadline ? eRunEnd::HostGone : eRunEnd::IdleTimeout);
    }
    char events[4096];
    while (read(watch.Get(), events, sizeof events) > 0) {
    }
  }
}

// Nothing is read any more; only the host letting go of the line is watched
// for (a terminal with nobody at the other end reports a hang-up).
void cPtyLink::StopReading() {
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(timing_.idleTimeoutMs);
  for (;;) {
    if (waiter_.Wait(master_.Get(), 0, deadline) == 0) throw cRunEnded(eRunEnd::IdleTimeout);
    WaitForHostToOpen(deadline);
  }
}

void cPtyLink::Write(const Bytes& wire) {
  if (trace_) TraceWritten(wire);
  const size_t piece = splitBytes_ ? splitBytes_ : wire.size();
  for (size_t offset = 0; offset < wire.size(); offset += piece) {
    if (offset != 0) waiter_.SleepFor(splitGap_);
    WriteAll(wire.data() + offset, std::min(piece, wire.size() - offset));
  }
}

void cPtyLink::TraceWritten(const Bytes& wire) {
  const char* phase = TracePhase(stage_);
  writtenFrames_.Feed(
      wire.data(), wire.size(),
      [this, phase](const uint8_t* payload, size_t size) {
        trace_->Frame(eTraceDirection::Sent, phase, payload, size);
      },
      [this, phase](const uint8_t* bytes, size_t size) {
        trace_->Frame(eTraceDirection::SentDamaged, phase, bytes, size);
      });
}

void cPtyLink::WriteAll(const uint8_t* data, size_t size) {
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(timing_.idleTimeoutMs);
  while (size > 0) {
    const ssize_t put = write(master_.Get(), data, writePacer_.Chunk(size));
    if (put < 0 && errno == EAGAIN) {
      if (waiter_.Wait(master_.Get(), POLLOUT, deadline) == 0) throw cRunEnded(eRunEnd::IdleTimeout);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {  // hung up: nobody to hear the rest
      std::fprintf(stderr, "zntv-module-sim: %zu bytes lost: %s\n", size, std::strerror(errno));
      return;
    }
    writePacer_.Account(static_cast<size_t>(put));
    data += put;
    size -= static_cast<size_t>(put);
  }
}

}  // namespace sim
