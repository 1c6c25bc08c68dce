// Cancelling requests: queued, in flight while transmitting, awaiting the
// response, unknown; and what the queue does afterwards.
#include <gtest/gtest.h>

#include <vector>

#include "platform/errors.h"
#include "server_fixture.h"

namespace {

using EventCodes = std::vector<int32_t>;

TEST_F(ConnectedServer, CancelOfAQueuedRequestRemovesItSilently) {
  const uint32_t id = Queue({0x11}, [](sProtocolRequest& r) { r.delayMs = 300; });
  EXPECT_TRUE(server_.Cancel(id));
  EXPECT_TRUE(events_->WaitForClones(0, 1s));
  EXPECT_FALSE(module_.WaitForBursts(1, 500ms));
  EXPECT_TRUE(events_->Events().empty());
  EXPECT_FALSE(server_.Cancel(id));
}

TEST_F(ConnectedServer, CancelOfAnUnknownIdFails) { EXPECT_FALSE(server_.Cancel(12345)); }

TEST_F(ConnectedServer, CancelWhileAwaitingTheResponseReportsNoResponseAborted) {
  const uint32_t id = Queue({0x12}, [](sProtocolRequest& r) { r.responseTimeoutMs = 10000; });
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  EXPECT_TRUE(server_.Cancel(id));
  ASSERT_TRUE(events_->WaitForCount(2, 1s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifySent, eNotifyNoResponse}));
  EXPECT_EQ(events_->Events()[1].value, platform::kErrorOperationAborted);
  EXPECT_TRUE(events_->WaitForClones(0, 1s));
}

TEST_F(ConnectedServer, CancelWhileTransmittingReportsFailedAbortedAndThePortRecovers) {
  module_.Pause();
  std::vector<uint8_t> extra(4 * kExtraDataChunkSize);
  const uint32_t id = Queue({0x13}, [&](sProtocolRequest& r) {
    r.extraData = extra.data();
    r.extraSize = static_cast<uint32_t>(extra.size());
  });
  EXPECT_FALSE(events_->WaitForCount(1, 200ms));  // stuck in the first chunk
  EXPECT_TRUE(server_.Cancel(id));
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  EXPECT_EQ(events_->Codes(), EventCodes{eNotifyFailed});
  EXPECT_EQ(events_->Events()[0].value, platform::kErrorOperationAborted);

  module_.SetRule(AnswerOnly(0x14));
  module_.Resume();
  Queue({0x14});
  ASSERT_TRUE(events_->WaitForCount(3, 2s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifyFailed, eNotifySent, eNotifyResponse}));
}

TEST_F(ConnectedServer, RequestsQueuedBehindACancelledOneStillGoOut) {
  const uint32_t first = Queue({0x15}, [](sProtocolRequest& r) { r.responseTimeoutMs = 10000; });
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  Queue({0x16}, [](sProtocolRequest& r) { r.sendOnly = true; });
  EXPECT_FALSE(module_.WaitForBursts(2, 200ms));  // waits for the one in flight
  const auto cancelled = Clock::now();
  EXPECT_TRUE(server_.Cancel(first));
  ASSERT_TRUE(module_.WaitForBursts(2, 1s));
  EXPECT_LT(Between(cancelled, module_.Bursts()[1].at), 500ms);
}

TEST_F(ConnectedServer, CancelOfTheFirstScheduledRequestKeepsTheNextOnTime) {
  const uint32_t first = Queue({0x17}, [](sProtocolRequest& r) { r.delayMs = 100, r.sendOnly = true; });
  Queue({0x18}, [](sProtocolRequest& r) { r.delayMs = 200, r.sendOnly = true; });
  const auto queued = Clock::now();
  EXPECT_TRUE(server_.Cancel(first));
  ASSERT_TRUE(module_.WaitForBursts(1, 1s));
  const auto bursts = module_.Bursts();
  EXPECT_EQ(bursts[0].bytes, LineBytes{0x18});
  EXPECT_GE(Between(queued, bursts[0].at), 150ms);
}

}  // namespace
