// What only the Linux line can show: the port is held exclusively, a line
// that hangs up refuses the next write, and a connected server with nothing to do does not use the processor (its
// worker sleeps in one wait and wakes only for the clock check).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "server_fixture.h"

namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST_F(ConnectedServer, PortIsHeldExclusively) {
  cTestServer second;
  ASSERT_TRUE(second.Initialize());
  EXPECT_FALSE(second.Connect(module_.PortName()));
}

TEST_F(ConnectedServer, RefusedWriteFailsTheRequestLikeAFailedOne) {
  module_.HangUp();  // the port's transfers end and no new one starts
  const uint32_t id = Queue({0x73});
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  EXPECT_EQ(events_->Events()[0].code, eNotifyFailed);
  EXPECT_EQ(events_->Events()[0].value, 0u);
  EXPECT_TRUE(events_->WaitForClones(0, 1s));
}

// A worker stuck inside a command (here, in a notification the command
// makes) holds its client up for the command wait only; the client then lets
// go of the server mutex. Shutdown gets it, and on Linux a thread cannot be
// ended forcibly: after its grace Shutdown must report false and leave
// everything the worker still uses in place; once the worker comes free it
// finishes the command on its own, leaves on the stop signal, and the server
// is destroyed cleanly.
TEST_F(ConnectedServer, AClientGivesUpOnAStuckWorkerAndShutdownFailsSafely) {
  const uint32_t id = Queue({0x52}, [](sProtocolRequest& r) { r.responseTimeoutMs = 60000; });
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  events_->Hold();
  bool cancelled = true;
  std::thread client([&] { cancelled = server_.Cancel(id); });
  ASSERT_TRUE(events_->WaitForBlockedNotify(2s));  // the cancel's event blocks the worker
  const auto start = Clock::now();
  EXPECT_FALSE(server_.Shutdown());
  const auto took = Between(start, Clock::now());
  EXPECT_GE(took, 11500ms);  // the client's command wait, then the grace period
  EXPECT_LT(took, 13500ms);
  client.join();
  EXPECT_FALSE(cancelled);  // the client stopped waiting for it
  events_->LetGo();
  EXPECT_TRUE(server_.Shutdown());
  EXPECT_EQ(events_->Codes(), (std::vector<int32_t>{eNotifySent, eNotifyNoResponse}));  // it ran, late
}

TEST_F(ConnectedServer, IdleConnectedServerUsesNoMeasurableCpu) {
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(10s);
  const double used = ProcessCpuSeconds() - before;
  std::printf("idle connected server: %.1f ms of CPU in 10 s\n", used * 1000);
  RecordProperty("idle_cpu_ms", static_cast<int>(used * 1000));
  EXPECT_LT(used, 0.05);
}

}  // namespace
