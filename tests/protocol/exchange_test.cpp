// The blocking exchange: answers, silence, stalls, event batches, lost events
// and the retry series.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/exchange.h"
#include "server_fixture.h"

namespace {

constexpr sExchangeTiming kShort{300, 300};

LineBytes BytesOf(const sProtocolBuffer& packet) {
  return LineBytes(packet.GetData(), packet.GetData() + packet.GetSize());
}

// Makes CanSend report the given events through the request's notification
// before the request is queued, so that the exchange sees them in one batch.
void ScriptEvents(cTestServer& server, std::vector<sRequestEvent> script) {
  server.onCanSend = [script](const sProtocolBuffer& packet) {
    const auto& request = dynamic_cast<const sProtocolRequest&>(packet);
    for (const sRequestEvent& event : script) {
      request.notification->Notify(event.code, event.requestId, event.value);
    }
  };
}

TEST_F(ConnectedServer, ExchangeReturnsTheAnswer) {
  module_.SetRule(EchoReply);
  sProtocolBuffer response;
  EXPECT_TRUE(SendAndWait(MakePayload({0x31, 0x32}), server_, response));
  EXPECT_EQ(BytesOf(response), (LineBytes{0x31, 0x32}));
  EXPECT_EQ(response.GetShared()->GetKind(), kBufferKindDiagReceived);
}

TEST_F(ConnectedServer, SendOnlyExchangeEndsOnceTransmitted) {
  sProtocolBuffer response;
  const auto start = Clock::now();
  EXPECT_TRUE(SendAndWait(MakePayload({0x33}), server_, response, true));
  EXPECT_LT(Between(start, Clock::now()), 200ms);
  EXPECT_FALSE(response.IsValid());
}

TEST_F(ConnectedServer, SilentModuleFailsAfterTheResponseTimeout) {
  sProtocolBuffer response;
  const auto start = Clock::now();
  EXPECT_FALSE(SendAndWait(MakePayload({0x34}), server_, response, false, {5000, 300}));
  const auto took = Between(start, Clock::now());
  EXPECT_GE(took, 290ms);
  EXPECT_LT(took, 1000ms);
}

TEST_F(ConnectedServer, SilentModuleWithDefaultsFailsAfterFiveSeconds) {
  sProtocolBuffer response;
  const auto start = Clock::now();
  EXPECT_FALSE(SendAndWait(MakePayload({0x35}), server_, response));
  const auto took = Between(start, Clock::now());
  EXPECT_GE(took, 4990ms);
  EXPECT_LT(took, 5600ms);
}

TEST_F(ConnectedServer, TransmissionThatNeverCompletesIsCancelled) {
  server_.swallowCompletions = true;
  sProtocolBuffer response;
  const auto start = Clock::now();
  EXPECT_FALSE(SendAndWait(MakePayload({0x36}), server_, response, false, kShort));
  EXPECT_GE(Between(start, Clock::now()), 290ms);
  // Only the cancel can have ended it: the server never heard of the write.
  server_.swallowCompletions = false;
  module_.SetRule(AnswerOnly(0x37));
  EXPECT_TRUE(SendAndWait(MakePayload({0x37}), server_, response, false, kShort));
}

TEST_F(ConnectedServer, RefusedRequestFailsAtOnce) {
  sProtocolBuffer response;
  const auto start = Clock::now();
  EXPECT_FALSE(SendAndWait(MakePayload({0x38}, kBufferKindSdlSent), server_, response));
  EXPECT_FALSE(SendAndWait(nullptr, server_, response));
  EXPECT_LT(Between(start, Clock::now()), 100ms);
}

// An empty buffer nobody references is refused without being touched: the
// caller that made it still holds its pointer and releases it itself.
TEST_F(ConnectedServer, RefusedEmptyPayloadStaysTheCallers) {
  struct sWatchedBuffer : sSharedBuffer {
    explicit sWatchedBuffer(bool& gone) : sSharedBuffer(kBufferKindDiagSent, 0, nullptr), gone_(gone) {}
    ~sWatchedBuffer() override { gone_ = true; }

   private:
    bool& gone_;
  };
  bool gone = false;
  auto* empty = new sWatchedBuffer(gone);
  sProtocolBuffer response;
  EXPECT_FALSE(SendAndWait(empty, server_, response));
  EXPECT_FALSE(SendAndWaitRetry(empty, server_, response));
  EXPECT_FALSE(gone);
  EXPECT_FALSE(module_.WaitForBursts(1, 100ms));
  empty->Release();
  EXPECT_TRUE(gone);
}

TEST_F(ConnectedServer, SuccessLaterInABatchWins) {
  const int32_t logged = server_.GetLog().Add(sProtocolBuffer(MakePayload({0x39, 0x01})));
  ScriptEvents(server_,
               {{eNotifySent, 0, 0}, {eNotifyNoResponse, 0, 0}, {eNotifyResponse, 0, static_cast<uint32_t>(logged)}});
  sProtocolBuffer response;
  EXPECT_TRUE(SendAndWait(MakePayload({0x39}), server_, response, false, kShort));
  EXPECT_EQ(BytesOf(response), (LineBytes{0x39, 0x01}));
}

TEST_F(ConnectedServer, LostEventsCancelTheRequestAndDecideWhatWasSeen) {
  const int32_t logged = server_.GetLog().Add(sProtocolBuffer(MakePayload({0x3A, 0x01})));
  std::vector<sRequestEvent> script(13, sRequestEvent{eNotifyProgress, 0, 1});
  script.push_back({eNotifyResponse, 0, static_cast<uint32_t>(logged)});
  ScriptEvents(server_, script);
  sProtocolBuffer response;
  // The request itself would wait 10 s for an answer unless cancelled.
  EXPECT_FALSE(SendAndWait(MakePayload({0x3A}), server_, response, false, {300, 10000}));
  server_.onCanSend = nullptr;
  module_.SetRule(AnswerOnly(0x3B));
  const auto start = Clock::now();
  EXPECT_TRUE(SendAndWait(MakePayload({0x3B}), server_, response, false, kShort));
  EXPECT_LT(Between(start, Clock::now()), 1000ms);
}

TEST_F(ConnectedServer, RetryStopsAtTheFirstAnswer) {
  module_.SetRule([](const LineBytes& burst, size_t index) { return index == 2 ? burst : LineBytes{}; });
  sProtocolBuffer response;
  EXPECT_TRUE(SendAndWaitRetry(MakePayload({0x3C}), server_, response, {300, 150}));
  EXPECT_EQ(module_.Bursts().size(), 3u);
  EXPECT_EQ(BytesOf(response), LineBytes{0x3C});
}

TEST_F(ConnectedServer, RetryGivesUpAfterFiveAttempts) {
  sProtocolBuffer response;
  EXPECT_FALSE(SendAndWaitRetry(MakePayload({0x3D}), server_, response, {300, 100}));
  // Counted in bytes, not bursts: a slow reader on the far end may take the
  // last attempt after the call has returned, or two attempts in one read.
  const size_t frame = module_.Bursts().at(0).bytes.size();
  EXPECT_TRUE(module_.WaitForBytes(kExchangeAttempts * frame, 2000ms));
  EXPECT_EQ(module_.AllBytes().size(), kExchangeAttempts * frame);
}

TEST(ExchangeWithoutLine, RetryKeepsAPayloadThatIsNeverTransmitted) {
  cTestServer server;  // running but not connected: every write is refused
  ASSERT_TRUE(server.Initialize());
  int attempts = 0;
  server.onCanSend = [&](const sProtocolBuffer& request) {
    ++attempts;
    EXPECT_EQ(request.GetCode(), 0x3E);  // the payload is still intact
  };
  sProtocolBuffer response;
  EXPECT_FALSE(SendAndWaitRetry(MakePayload({0x3E}), server, response, kShort));
  EXPECT_EQ(attempts, 5);
}

}  // namespace
