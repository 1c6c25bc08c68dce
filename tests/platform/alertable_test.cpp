// The worker machinery: queued calls, alertable waits, one-shot timers with
// absolute and relative due times, and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/alertable.h"
#include "platform/clock.h"

namespace platform {
namespace {

constexpr uint64_t k100nsPerMs = kHundredNsPerMs;

// Restores the real system time for the tests that move it.
struct sClockOffset {
  explicit sClockOffset(int64_t offset) { SetSystemTimeOffsetForTest(offset); }
  ~sClockOffset() { SetSystemTimeOffsetForTest(0); }
};

// What a queued call observed about where it ran.
struct sCallProbe {
  std::thread::id worker;
  std::atomic<bool> workerInWait{false};
  std::atomic<int> runs{0};
  std::atomic<bool> ranOnWorkerInWait{true};
  cEvent started;
  cEvent gate;
  sWakeResult wake{};
  bool ranBeforeWait = true;
};

void ProbeCall(void* p) {
  auto* probe = static_cast<sCallProbe*>(p);
  if (std::this_thread::get_id() != probe->worker || !probe->workerInWait) probe->ranOnWorkerInWait = false;
  ++probe->runs;
}

void ProbeWorker(void* p) {
  auto* probe = static_cast<sCallProbe*>(p);
  probe->worker = std::this_thread::get_id();
  probe->started.Set();
  probe->gate.Wait(kInfinite);  // a plain wait runs no queued call
  probe->ranBeforeWait = probe->runs != 0;
  cEvent never;
  probe->workerInWait = true;
  probe->wake = WaitAlertable({never}, 5000);
  probe->workerInWait = false;
}

TEST(AlertableWait, QueuedCallsRunOnTheTargetThreadOnlyInsideItsAlertableWait) {
  sCallProbe probe;
  cThread worker;
  ASSERT_TRUE(worker.Start(ProbeWorker, &probe));
  EXPECT_NE(worker.Id(), 0u);
  // Windows runs calls queued before a thread begins as it starts up.
  ASSERT_TRUE(probe.started.Wait(5000));
  ASSERT_TRUE(worker.QueueCall(ProbeCall, &probe));
  ASSERT_TRUE(worker.QueueCall(ProbeCall, &probe));
  probe.gate.Set();
  ASSERT_TRUE(worker.Join(5000));
  EXPECT_FALSE(probe.ranBeforeWait);
  EXPECT_EQ(probe.runs, 2);  // both run in the one wait that reports them
  EXPECT_TRUE(probe.ranOnWorkerInWait);
  EXPECT_EQ(probe.wake.wake, eWake::IoCompletion);
  worker.Close();
  EXPECT_FALSE(worker.IsStarted());
}

TEST(AlertableWait, ReportsTheSignalledObjectAndResetsIt) {
  PrepareAlertableThread();
  cEvent first, second;
  ASSERT_TRUE(second.Set());
  const sWakeResult wake = WaitAlertable({first, second}, 1000);
  EXPECT_EQ(wake.wake, eWake::Signalled);
  EXPECT_EQ(wake.index, 1u);
  EXPECT_EQ(WaitAlertable({first, second}, 20).wake, eWake::Timeout);
}

TEST(AlertableWait, TimesOutNoEarlierThanAsked) {
  PrepareAlertableThread();
  cEvent never;
  const uint32_t start = GetTickCount32();
  EXPECT_EQ(WaitAlertable({never}, 60).wake, eWake::Timeout);
  EXPECT_GE(GetTickCount32() - start, 50u);  // tick granularity allows a little
}

TEST(WaitableTimer, RelativeFiresAfterItsDurationAndOnlyOnce) {
  PrepareAlertableThread();
  cWaitableTimer timer;
  ASSERT_TRUE(timer.IsValid());
  const uint32_t start = GetTickCount32();
  ASSERT_TRUE(timer.SetRelative(60 * k100nsPerMs));
  EXPECT_EQ(WaitAlertable({timer}, 2000).wake, eWake::Signalled);
  EXPECT_GE(GetTickCount32() - start, 50u);
  EXPECT_EQ(WaitAlertable({timer}, 50).wake, eWake::Timeout);
}

TEST(WaitableTimer, AbsoluteFiresAtTheSystemTimeAndAtOnceWhenPast) {
  PrepareAlertableThread();
  cWaitableTimer timer;
  const uint32_t start = GetTickCount32();
  ASSERT_TRUE(timer.SetAbsolute(GetSystemTime() + 60 * k100nsPerMs));
  EXPECT_EQ(WaitAlertable({timer}, 2000).wake, eWake::Signalled);
  EXPECT_GE(GetTickCount32() - start, 50u);

  ASSERT_TRUE(timer.SetAbsolute(GetSystemTime() - 1000 * k100nsPerMs));
  EXPECT_EQ(WaitAlertable({timer}, 500).wake, eWake::Signalled);
}

TEST(WaitableTimer, CancelledTimerNeverFires) {
  PrepareAlertableThread();
  cWaitableTimer timer;
  ASSERT_TRUE(timer.SetRelative(20 * k100nsPerMs));
  ASSERT_TRUE(timer.Cancel());
  EXPECT_EQ(WaitAlertable({timer}, 100).wake, eWake::Timeout);
}

TEST(WaitableTimer, ReArmingReplacesTheEarlierDueTime) {
  PrepareAlertableThread();
  cWaitableTimer timer;
  ASSERT_TRUE(timer.SetRelative(20 * k100nsPerMs));
  ASSERT_TRUE(timer.SetRelative(10000 * k100nsPerMs));
  EXPECT_EQ(WaitAlertable({timer}, 150).wake, eWake::Timeout);
}

TEST(WaitableTimer, AbsoluteDueTimesFollowTheTestClockOffset) {
  PrepareAlertableThread();
  cWaitableTimer timer;
  // The clock is set back an hour: a due time read from it now is due now,
  // and one 60 ms later fires 60 ms later, not an hour.
  const sClockOffset back(-3600LL * 1000 * static_cast<int64_t>(k100nsPerMs));
  ASSERT_TRUE(timer.SetAbsolute(GetSystemTime()));
  EXPECT_EQ(WaitAlertable({timer}, 500).wake, eWake::Signalled);
  ASSERT_TRUE(timer.SetAbsolute(GetSystemTime() + 60 * k100nsPerMs));
  EXPECT_EQ(WaitAlertable({timer}, 2000).wake, eWake::Signalled);
}

TEST(WaitableTimer, ClockSetBackWhileArmedIsSeenByTheClockCheck) {
  PrepareAlertableThread();
  cWaitableTimer timer;
  // What the worker does: schedule at "now + 10 s", notice the clock going
  // back at its 100 ms check, and re-arm the entry at the new now.
  const uint64_t due = GetSystemTime() + 10000 * k100nsPerMs;
  ASSERT_TRUE(timer.SetAbsolute(due));
  const sClockOffset back(-60LL * 1000 * static_cast<int64_t>(k100nsPerMs));
  EXPECT_EQ(WaitAlertable({timer}, 100).wake, eWake::Timeout);
  const uint64_t now = GetSystemTime();
  ASSERT_LT(now, due);
  ASSERT_TRUE(timer.SetAbsolute(now));
  EXPECT_EQ(WaitAlertable({timer}, 500).wake, eWake::Signalled);
}

TEST(SystemTime, ReadsTheRealTimePlusTheTestOffset) {
  const int64_t hour = 3600LL * 1000 * static_cast<int64_t>(k100nsPerMs);
  const uint64_t before = GetSystemTime();
  const sClockOffset back(-hour);
  EXPECT_EQ(GetSystemTimeOffsetForTest(), -hour);
  const uint64_t shifted = GetSystemTime();
  EXPECT_LT(shifted, before - static_cast<uint64_t>(hour) + 1000 * k100nsPerMs);
  EXPECT_GE(shifted + static_cast<uint64_t>(hour), before);
}

void WaitForGate(void* p) { static_cast<cEvent*>(p)->Wait(kInfinite); }

TEST(Thread, JoinWaitsForTheEndWithinItsTimeOut) {
  cEvent gate;
  cThread thread;
  ASSERT_TRUE(thread.Start(WaitForGate, &gate));
  EXPECT_TRUE(thread.IsStarted());
  EXPECT_FALSE(thread.Start(WaitForGate, &gate));  // one thread per object
  EXPECT_FALSE(thread.Join(30));
  gate.Set();
  EXPECT_TRUE(thread.Join(5000));
  thread.Close();
}

}  // namespace
}  // namespace platform
