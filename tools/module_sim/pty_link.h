// The module's end of the serial line: the master side of a pseudo-terminal
// whose slave the updater opens as its port. Turns the host's bytes into
// packets through the shared HDLC deframer, writes answer bytes with the
// configured throttle and splitting, and waits out the times when no host
// holds the port. Single-threaded.
#pragma once
#include <deque>
#include <filesystem>

#include "framing/hdlc_codec.h"
#include "framing/traffic_trace.h"
#include "platform/handle.h"
#include "tools/module_sim/sim_bytes.h"
#include "tools/module_sim/sim_options.h"
#include "tools/module_sim/sim_waiter.h"

namespace sim {

// Keeps a byte stream at or below a rate by sleeping after each transfer.
class cPacer {
 public:
  cPacer(cWaiter& waiter, uint64_t bytesPerSecond) : waiter_(waiter), rate_(bytesPerSecond) {}
  bool Limited() const { return rate_ != 0; }
  // Largest transfer worth doing in one go: a hundredth of a second's worth.
  size_t Chunk(size_t wanted) const;
  // Accounts for size bytes just moved and sleeps until they fit the rate.
  // lineBusy: the bytes were already waiting, so the line has been carrying
  // them while the module was busy elsewhere; that time counts as spent.
  void Account(size_t size, bool lineBusy = false);

 private:
  cWaiter& waiter_;
  uint64_t rate_;
  Deadline due_{};
};

class cPtyLink {
 public:
  cPtyLink(cWaiter& waiter, const sTimingOptions& timing, const sMisbehaviourOptions& misbehaviour);

  // Traces every frame read and written from now on, under the stage's name;
  // null traces nothing.
  void TraceTo(cTrafficTrace* trace) { trace_ = trace; }
  void SetStage(eStage stage) { stage_ = stage; }
  eStage Stage() const { return stage_; }
  // Takes the host as never having held the line: a host that let go of it
  // is waited for without the host-gone time-out.
  void ForgetHost() { heldByHost_ = false; }
  // Appends every byte read from the host from now on to into; null: none.
  void RecordReadBytes(Bytes* into) { readBytes_ = into; }

  // A fresh pseudo-terminal (the module came onto the bus); returns the path
  // of its slave. Throws std::runtime_error when none can be made.
  std::filesystem::path Open();
  // Hangs the line up: the host's transfers end with an error.
  void Close();

  // The next intact packet from the host. Throws cRunEnded(IdleTimeout) when
  // none arrives within the idle time-out, and cRunEnded(HostGone) when the
  // host lets go of the line and does not take it again in time.
  Bytes NextPacket();
  // Writes raw line bytes, split and paced as configured. Bytes written while
  // no host holds the port are lost, as on a real line.
  void Write(const Bytes& wire);
  // Keeps the line as it is for a while: nothing read, nothing written.
  void Pause(std::chrono::milliseconds duration) { waiter_.SleepFor(duration); }
  // Stops reading for good: the host's bytes pile up in the terminal until
  // its writes block. Throws cRunEnded at the idle time-out (or a signal), or
  // once the host has let go of the line for good.
  [[noreturn]] void StopReading();

 private:
  void ReadAvailable(Deadline deadline);
  void WaitForHostToOpen(Deadline deadline);
  void WriteAll(const uint8_t* data, size_t size);
  void TraceWritten(const Bytes& wire);

  cWaiter& waiter_;
  sTimingOptions timing_;
  size_t splitBytes_;
  std::chrono::milliseconds splitGap_;
  cPacer readPacer_, writePacer_;
  platform::cHandle master_;
  std::filesystem::path slave_;
  cHdlcDeframer deframer_;
  std::deque<Bytes> packets_;
  // The host has held this terminal open: a hang-up now means it let go.
  bool heldByHost_ = false;
  cTrafficTrace* trace_ = nullptr;
  Bytes* readBytes_ = nullptr;
  eStage stage_ = eStage::Diag;
  // The line bytes written, framed again as the host will see them, so that
  // the trace holds what went out: damaged frames and noise included.
  cHdlcDeframer writtenFrames_;
};

}  // namespace sim
