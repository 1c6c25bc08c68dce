// What only the Linux line can show: the port is held exclusively, a line
// that hangs up refuses the next write, and a connected server with nothing to do does not use the processor (its worker
// sleeps in one wait and wakes only for the clock check).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <thread>

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
  EXPECT_FALSE(second.Connect(module.PortName()));
}

TEST_F(ConnectedServer, RefusedWriteFailsTheRequestLikeAFailedOne) {
  module.HangUp();  // the port's transfers end and no new one starts
  const uint32_t id = Queue({0x73});
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(events->WaitForCount(1, 1s));
  EXPECT_EQ(events->Events()[0].code, eNotifyFailed);
  EXPECT_EQ(events->Events()[0].value, 0u);
  EXPECT_TRUE(events->WaitForClones(0, 1s));
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
