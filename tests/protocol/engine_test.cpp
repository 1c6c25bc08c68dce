// The request engine over a real serial line: order, one request in flight,
// re-sends, extra data, time-outs, the receive path and the system clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "server_fixture.h"

namespace {

using EventCodes = std::vector<int32_t>;

TEST_F(ConnectedServer, AnsweredRequestIsSentThenAnsweredFromTheLog) {
  module_.SetRule(EchoReply);
  const uint32_t id = Queue({0x10, 0x01, 0x02});
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(events_->WaitForCount(2, 2s));
  const auto recorded = events_->Events();
  EXPECT_EQ(recorded[0].code, eNotifySent);
  EXPECT_EQ(recorded[0].id, id);
  EXPECT_EQ(recorded[1].code, eNotifyResponse);
  sProtocolBuffer sent;
  sProtocolBuffer answer;
  server_.GetLog().Get(sent, recorded[0].value);
  server_.GetLog().Get(answer, recorded[1].value);
  EXPECT_EQ(sent.GetShared()->GetKind(), kBufferKindDiagSent);
  EXPECT_EQ(answer.GetShared()->GetKind(), kBufferKindDiagReceived);
  EXPECT_EQ(LineBytes(answer.GetData(), answer.GetData() + answer.GetSize()), (LineBytes{0x10, 0x01, 0x02}));
  EXPECT_TRUE(events_->WaitForClones(0, 1s));  // the server's record is gone
}

TEST_F(ConnectedServer, OrderIsDueTimeThenId) {
  auto sendOnly = [](uint32_t delay) { return [delay](sProtocolRequest& r) { r.delayMs = delay, r.sendOnly = true; }; };
  Queue({0x01}, sendOnly(200));
  Queue({0x02}, sendOnly(200));
  Queue({0x03}, sendOnly(200));
  Queue({0x04}, sendOnly(50));
  ASSERT_TRUE(module_.WaitForBytes(4, 2s));  // back to back: bursts may merge
  EXPECT_EQ(module_.AllBytes(), (LineBytes{0x04, 0x01, 0x02, 0x03}));
  EXPECT_TRUE(events_->WaitForCount(4, 1s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifySent, eNotifySent, eNotifySent, eNotifySent}));
}

TEST_F(ConnectedServer, NothingIsTransmittedWhileARequestIsInFlight) {
  Queue({0x21}, [](sProtocolRequest& r) { r.responseTimeoutMs = 300; });
  Queue({0x22}, [](sProtocolRequest& r) { r.responseTimeoutMs = 300; });
  ASSERT_TRUE(module_.WaitForBursts(2, 2s));
  const auto bursts = module_.Bursts();
  EXPECT_GE(Between(bursts[0].at, bursts[1].at), 280ms);
  ASSERT_TRUE(events_->WaitForCount(4, 1s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifySent, eNotifyNoResponse, eNotifySent, eNotifyNoResponse}));
  EXPECT_EQ(events_->Events()[1].value, 0u);
}

TEST_F(ConnectedServer, ResendsSendCountTimesEvenWhenAnswered) {
  module_.SetRule(EchoReply);
  Queue({0x31}, [](sProtocolRequest& r) { r.sendCount = 3; });
  ASSERT_TRUE(events_->WaitForCount(6, 2s));
  EXPECT_EQ(events_->Codes(),
            (EventCodes{eNotifySent, eNotifyResponse, eNotifySent, eNotifyResponse, eNotifySent, eNotifyResponse}));
  const auto bursts = module_.Bursts();
  ASSERT_EQ(bursts.size(), 3u);
  EXPECT_GE(Between(bursts[0].at, bursts[1].at), 95ms);
  EXPECT_GE(Between(bursts[1].at, bursts[2].at), 95ms);
  EXPECT_FALSE(events_->WaitForCount(7, 300ms));
}

TEST_F(ConnectedServer, UnlimitedRequestRunsUntilCancelled) {
  const uint32_t id = Queue({0x32}, [](sProtocolRequest& r) {
    r.sendCount = kSendUnlimited;
    r.resendIntervalMs = 10;
    r.sendOnly = true;
  });
  ASSERT_TRUE(module_.WaitForBytes(5, 2s));
  EXPECT_TRUE(server_.Cancel(id));
  EXPECT_TRUE(events_->WaitForClones(0, 1s));
  const size_t sent = module_.AllBytes().size();
  EXPECT_FALSE(module_.WaitForBytes(sent + 1, 200ms));
}

TEST_F(ConnectedServer, SendOnlyRequestReportsSentAndNothingMore) {
  module_.SetRule(EchoReply);
  Queue({0x41}, [](sProtocolRequest& r) { r.sendOnly = true; });
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  EXPECT_FALSE(events_->WaitForCount(2, 300ms));
  EXPECT_EQ(events_->Codes(), EventCodes{eNotifySent});
}

// Extra data goes out raw after the packet in chunks of 262144 bytes, each
// reported with its length, then the packet is reported sent.
class ExtraData : public ConnectedServer, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ExtraData, IsWrittenInChunksWithProgress) {
  const uint32_t size = GetParam();
  std::vector<uint8_t> extra(size);
  for (uint32_t i = 0; i < size; ++i) extra[i] = static_cast<uint8_t>(i * 7 + i / 251);
  ASSERT_NE(Queue({0x51, 0x52},
                  [&](sProtocolRequest& r) {
                    r.extraData = extra.data();
                    r.extraSize = size;
                    r.sendOnly = true;
                  }),
            0u);
  std::vector<uint32_t> chunks;
  for (uint32_t left = size; left > 0; left -= std::min(left, kExtraDataChunkSize)) {
    chunks.push_back(std::min(left, kExtraDataChunkSize));
  }
  std::vector<int32_t> expected(chunks.size(), eNotifyProgress);
  expected.push_back(eNotifySent);
  ASSERT_TRUE(module_.WaitForBytes(2 + size, 10s));
  ASSERT_TRUE(events_->WaitForCount(expected.size(), 2s));
  const auto recorded = events_->Events();
  EXPECT_EQ(events_->Codes(), expected);
  for (size_t i = 0; i < chunks.size(); ++i) EXPECT_EQ(recorded[i].value, chunks[i]);
  LineBytes wanted{0x51, 0x52};
  wanted.insert(wanted.end(), extra.begin(), extra.end());
  EXPECT_EQ(module_.AllBytes(), wanted);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExtraData, ::testing::Values(262144u, 262145u, 524288u));

TEST_F(ConnectedServer, EncodedFrameIsWrittenButThePayloadIsLogged) {
  server_.encoding = eEncoding::Framed;
  Queue({0x61, 0x62}, [](sProtocolRequest& r) { r.sendOnly = true; });
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  ASSERT_TRUE(module_.WaitForBytes(3, 1s));
  EXPECT_EQ(module_.AllBytes(), (LineBytes{0x7E, 0x61, 0x62}));
  sProtocolBuffer logged;
  server_.GetLog().Get(logged, events_->Events()[0].value);
  EXPECT_EQ(logged.GetSize(), 2u);
}

TEST_F(ConnectedServer, UnencodableRequestFailsAndIsSentAgainIfSendsRemain) {
  server_.encoding = eEncoding::Invalid;
  Queue({0x63}, [](sProtocolRequest& r) { r.sendCount = 2, r.resendIntervalMs = 10; });
  ASSERT_TRUE(events_->WaitForCount(2, 1s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifyFailed, eNotifyFailed}));
  EXPECT_EQ(events_->Events()[0].value, 0u);
}

TEST_F(ConnectedServer, ShortWriteFailsThenTheNextTransmissionGoesOut) {
  module_.SetRule(EchoReply);
  server_.shortCompletions = 1;
  Queue({0x71, 0x72}, [](sProtocolRequest& r) { r.sendCount = 2, r.resendIntervalMs = 10; });
  ASSERT_TRUE(events_->WaitForCount(3, 2s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifyFailed, eNotifySent, eNotifyResponse}));
  EXPECT_EQ(events_->Events()[0].value, 0u);
}

TEST(ServerLine, WriteRunningOutOfTimeFailsTheRequest) {
  cFakeModule module;
  ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
  cTestServer server;
  server.writeTotalMultiplierMs = 0;
  server.writeTotalConstantMs = 100;
  ASSERT_TRUE(server.Initialize());
  ASSERT_TRUE(server.Connect(module.PortName()));
  module.Pause();  // the line backs up: the extra data cannot all go out
  auto events = std::make_shared<cEventRecord>();
  const cRecordingNotification notification(events);
  std::vector<uint8_t> extra(4 * kExtraDataChunkSize);
  sProtocolRequest request(MakePayload({0x75}), &notification);
  request.extraData = extra.data();
  request.extraSize = static_cast<uint32_t>(extra.size());
  ASSERT_NE(server.Send(request), 0u);
  ASSERT_TRUE(events->WaitForCount(1, 2s));
  EXPECT_EQ(events->Codes(), EventCodes{eNotifyFailed});
  EXPECT_EQ(events->Events()[0].value, 0u);
  module.Resume();
}

TEST(ServerLine, EmptyReadsDoNotStopReading) {
  cFakeModule module;
  ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
  cTestServer server;
  server.readTotalConstantMs = 10;  // reads end empty every 10 ms
  ASSERT_TRUE(server.Initialize());
  ASSERT_TRUE(server.Connect(module.PortName()));
  module.SetRule(EchoReply);
  std::this_thread::sleep_for(100ms);  // lets several empty reads complete
  auto events = std::make_shared<cEventRecord>();
  const cRecordingNotification notification(events);
  sProtocolRequest request(MakePayload({0x74}), &notification);
  ASSERT_NE(server.Send(request), 0u);
  ASSERT_TRUE(events->WaitForCount(2, 1s));
  EXPECT_EQ(events->Codes(), (EventCodes{eNotifySent, eNotifyResponse}));
  EXPECT_EQ(server.decodes, 1u);  // empty reads never reach the decoder
}

TEST_F(ConnectedServer, SystemClockSetBackMakesScheduledRequestsDue) {
  const auto start = Clock::now();
  Queue({0x81}, [](sProtocolRequest& r) { r.delayMs = 60000, r.sendOnly = true; });
  Queue({0x82}, [](sProtocolRequest& r) { r.delayMs = 30000, r.sendOnly = true; });
  EXPECT_FALSE(module_.WaitForBursts(1, 150ms));
  platform::SetSystemTimeOffsetForTest(-3600LL * 1000 * platform::kHundredNsPerMs);
  ASSERT_TRUE(module_.WaitForBytes(2, 1s));
  EXPECT_LT(Between(start, Clock::now()), 1500ms);
  EXPECT_EQ(module_.AllBytes(), (LineBytes{0x81, 0x82}));  // now equally due: id order
}

TEST_F(ConnectedServer, AbortFailsTheRequestAndItsTimerCannotHitTheNext) {
  module_.SetRule(
      [](const LineBytes& burst, size_t) { return burst[0] == 0x91 ? LineBytes{kAbortByte} : LineBytes{}; });
  module_.PauseAfter(2);  // the next request's transmission stalls for a while
  Queue({0x91}, [](sProtocolRequest& r) { r.responseTimeoutMs = 200; });
  std::vector<uint8_t> extra(kExtraDataChunkSize);
  Queue({0x92}, [&](sProtocolRequest& r) {
    r.extraData = extra.data();
    r.extraSize = static_cast<uint32_t>(extra.size());
    r.responseTimeoutMs = 300;
  });
  ASSERT_TRUE(events_->WaitForCount(2, 1s));
  std::this_thread::sleep_for(400ms);  // past the aborted request's time-out
  module_.Resume();
  ASSERT_TRUE(events_->WaitForCount(5, 3s));
  EXPECT_EQ(events_->Codes(),
            (EventCodes{eNotifySent, eNotifyFailed, eNotifyProgress, eNotifySent, eNotifyNoResponse}));
  const auto recorded = events_->Events();
  EXPECT_EQ(recorded[1].value, 0u);
  EXPECT_GE(Between(recorded[3].at, recorded[4].at), 280ms);
}

TEST_F(ConnectedServer, AbortWithNothingInFlightIsLoggedAndHarmless) {
  const uint32_t logged = server_.GetLog().GetCount();
  module_.Send({kAbortByte, 0x01});
  module_.SetRule(EchoReply);
  // the abort was read with nothing in flight
  ASSERT_EQ(server_.GetLog().WaitForCountAbove(logged, 3000), logged + 1);
  Queue({0x93});
  ASSERT_TRUE(events_->WaitForCount(2, 1s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifySent, eNotifyResponse}));
  sProtocolBuffer abort;
  EXPECT_EQ(server_.GetLog().Get(abort, logged).GetCode(), kAbortByte);
}

TEST_F(ConnectedServer, DefaultResponseTimeoutIsFiveSeconds) {
  Queue({0xA1});
  ASSERT_TRUE(events_->WaitForCount(1, 1s));
  ASSERT_TRUE(events_->WaitForCount(2, 6s));
  const auto recorded = events_->Events();
  EXPECT_EQ(recorded[1].code, eNotifyNoResponse);
  EXPECT_EQ(recorded[1].value, 0u);
  EXPECT_GE(Between(recorded[0].at, recorded[1].at), 4950ms);
  EXPECT_LE(Between(recorded[0].at, recorded[1].at), 5500ms);
  EXPECT_TRUE(events_->WaitForClones(0, 1s));
}

}  // namespace

TEST_F(ConnectedServer, AnswerReadBeforeItsRequestsWriteCompletesStillAnswers) {
  // The module answers while the request is still going out (it reads nothing
  // meanwhile), so its answer is read before the write's completion arrives.
  module_.Pause();
  std::vector<uint8_t> extra(kExtraDataChunkSize);
  Queue({0xC1}, [&](sProtocolRequest& r) {
    r.extraData = extra.data();
    r.extraSize = static_cast<uint32_t>(extra.size());
    r.responseTimeoutMs = 1000;
  });
  ASSERT_TRUE(module_.Send({0xC1, 0x02}));
  // Lets the answer be read while the write is stuck. Nothing shows that read:
  // the server holds its bytes, undecoded and unlogged, until the write is done.
  std::this_thread::sleep_for(100ms);
  module_.Resume();
  ASSERT_TRUE(events_->WaitForCount(3, 3s));
  EXPECT_EQ(events_->Codes(), (EventCodes{eNotifyProgress, eNotifySent, eNotifyResponse}));
}
