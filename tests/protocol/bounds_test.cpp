// Every client operation is bounded, whatever the worker does: a worker stuck
// inside a command (a port open that a driver never finishes) costs the
// client at most the command wait, and Shutdown at most the grace for the
// worker's end. A reconnect waits for the old port's cancelled transfers.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/errors.h"
#include "server_fixture.h"

namespace {

using EventCodes = std::vector<int32_t>;

constexpr auto kSlack = 1000ms;

TEST(ServerBounds, ConnectStuckOnTheWorkerFailsWithinTheCommandWait) {
  cFakeModule module;
  ASSERT_TRUE(module.IsReady()) << kNoLine;
  cTestServer server;
  server.configureStallMs = 30000;  // the command never ends in time
  ASSERT_TRUE(server.Initialize());
  auto start = Clock::now();
  EXPECT_EQ(server.Connect(module.PortName()).code, platform::kErrorTimeout);
  const auto connectTook = Between(start, Clock::now());
  EXPECT_GE(connectTook, std::chrono::milliseconds(kServerCommandWaitMs) - 100ms);
  EXPECT_LT(connectTook, std::chrono::milliseconds(kServerCommandWaitMs) + kSlack);

  // The stalled call is broken off (Linux) or the worker ended forcibly
  // (Windows): either way Shutdown stops it within its grace.
  start = Clock::now();
  EXPECT_TRUE(server.Shutdown());
  EXPECT_LT(Between(start, Clock::now()), std::chrono::milliseconds(kWorkerEndGraceMs) + kSlack);
}

TEST(ServerBounds, TheNextCommandRunsOnceTheStuckOneHasEnded) {
  cFakeModule module;
  ASSERT_TRUE(module.IsReady()) << kNoLine;
  cTestServer server;
  server.configureStallMs = kServerCommandWaitMs + 1500;
  ASSERT_TRUE(server.Initialize());
  EXPECT_FALSE(server.Connect(module.PortName()));  // given up on; still running
  server.configureStallMs = 0;
  // Queued behind the stuck command, and run as soon as it ends: the given-up
  // command's late signal does not pass for this one's.
  module.SetRule(AnswerOnly(0x41));
  auto events = std::make_shared<cEventRecord>();
  const cRecordingNotification notification(events);
  sProtocolRequest request(MakePayload({0x41}), &notification);
  EXPECT_NE(server.Send(request), 0u);
  ASSERT_TRUE(events->WaitForCount(2, 2s));
  EXPECT_EQ(events->Codes(), (EventCodes{eNotifySent, eNotifyResponse}));
}

// A worker that does not end (stuck where no signal reaches it, here in a
// notification, holding what its caller holds) costs Shutdown its grace
// period, not more, even with the mutex free; and it is not ended forcibly
// there, on any platform: it is left running with everything it uses, and
// once it comes free it leaves on the stop signal.
TEST_F(ConnectedServer, ShutdownWaitsForAWorkerThatDoesNotEndOnlyItsGrace) {
  events_->Hold();
  Queue({0x53}, [](sProtocolRequest& r) { r.sendOnly = true; });
  ASSERT_TRUE(events_->WaitForBlockedNotify(2s));  // the sent event blocks the worker
  std::thread release([&] {
    std::this_thread::sleep_for(5s);
    events_->LetGo();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(server_.Shutdown());
  EXPECT_LT(Between(start, Clock::now()), std::chrono::milliseconds(kWorkerEndGraceMs) + 1000ms);
  release.join();
  EXPECT_TRUE(server_.Shutdown());
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifySent}));  // the worker finished the event it was in
}

TEST_F(ConnectedServer, ReconnectWaitsForTheCancelledTransfersAndWorksOn) {
  module_.Pause();  // the write backs up: a write and a read are outstanding
  std::vector<uint8_t> extra(4 * kExtraDataChunkSize);
  Queue({0x42}, [&](sProtocolRequest& r) {
    r.extraData = extra.data();
    r.extraSize = static_cast<uint32_t>(extra.size());
  });
  EXPECT_FALSE(events_->WaitForCount(1, 200ms));
  ASSERT_TRUE(server_.Connect(module_.PortName()));
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  EXPECT_EQ(events_->Events()[0].code, eNotifyFailed);
  EXPECT_EQ(events_->Events()[0].value, platform::kErrorOperationAborted);

  // The old transfers' completions pass for no transfer of the new port.
  module_.SetRule(AnswerOnly(0x43));
  module_.Resume();
  Queue({0x43});
  ASSERT_TRUE(events_->WaitForCount(3, 2s));
  EXPECT_FALSE(events_->WaitForCount(4, 300ms));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifyFailed, eNotifySent, eNotifyResponse}));
}

}  // namespace
