// The history queue, the packet log and the queue notification.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "protocol/notification.h"
#include "protocol/protocol_log.h"
#include "test_server.h"

namespace {

sProtocolBuffer Packet(uint8_t code) { return sProtocolBuffer(MakePayload({code, 0x01})); }

TEST(ProtocolLog, InvalidBufferIsRefused) {
  cProtocolLog log(64);
  EXPECT_EQ(log.Add(sProtocolBuffer()), -1);
  EXPECT_EQ(log.GetCount(), 0u);
}

TEST(ProtocolLog, KeepsTheMostRecentEntriesByRunningNumber) {
  cProtocolLog log(64);
  for (int i = 0; i < 65; ++i) EXPECT_EQ(log.Add(Packet(static_cast<uint8_t>(i))), i);
  EXPECT_EQ(log.GetCount(), 65u);
  sProtocolBuffer out = Packet(0xEE);
  EXPECT_FALSE(log.Get(out, 0).IsValid());
  EXPECT_EQ(log.Get(out, 1).GetCode(), 1);
  EXPECT_EQ(log.Get(out, 64).GetCode(), 64);
  EXPECT_FALSE(log.Get(out, 65).IsValid());  // not given yet
}

TEST(ProtocolLog, ClearRestartsNumbering) {
  cProtocolLog log(4);
  log.Add(Packet(1));
  log.Add(Packet(2));
  log.Clear();
  EXPECT_EQ(log.GetCount(), 0u);
  EXPECT_EQ(log.Add(Packet(3)), 0);
}

TEST(ProtocolLog, PacketOutlivesItsDroppedEntry) {
  cProtocolLog log(1);
  log.Add(Packet(0x21));
  sProtocolBuffer kept;
  log.Get(kept, 0);
  log.Add(Packet(0x22));  // drops entry 0
  log.Clear();
  EXPECT_EQ(kept.GetCode(), 0x21);
  EXPECT_EQ(kept.GetShared()->GetRefCount(), 1u);
}

TEST(ProtocolLog, CapacityIsCapped) {
  cProtocolLog log(20000);
  for (uint32_t i = 0; i < kMaxProtocolLogCapacity + 1; ++i) log.Add(Packet(1));
  sProtocolBuffer out;
  EXPECT_FALSE(log.Get(out, 0).IsValid());
  EXPECT_TRUE(log.Get(out, 1).IsValid());
}

// The wait for new entries returns as soon as one is added from another
// thread, long before its time-out, and reports the count it saw.
TEST(ProtocolLogWait, WakesWhenAnotherThreadAddsAnEntry) {
  cProtocolLog log(64);
  log.Add(Packet(1));
  const auto start = std::chrono::steady_clock::now();
  std::thread worker([&] { log.Add(Packet(2)); });
  const uint32_t count = log.WaitForCountAbove(1, 10000);
  const auto waited = std::chrono::steady_clock::now() - start;
  worker.join();
  EXPECT_EQ(count, 2u);
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(ProtocolLogWait, ReturnsAtOnceWhenEntriesAreAlreadyThere) {
  cProtocolLog log(64);
  log.Add(Packet(1));
  log.Add(Packet(2));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(log.WaitForCountAbove(0, 10000), 2u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ProtocolLogWait, TimesOutWithTheCountUnchanged) {
  cProtocolLog log(64);
  log.Add(Packet(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(log.WaitForCountAbove(1, 150), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST(RequestEventHistory, HoldsTheLastTwelveAndSignalsEachAppend) {
  RequestEventHistory history(kRequestEventHistoryCapacity, true);
  for (uint32_t i = 0; i < 13; ++i) {
    ASSERT_TRUE(history.Append({eNotifyProgress, 1, i}));
    EXPECT_TRUE(history.WaitForAppend(0));
  }
  EXPECT_FALSE(history.WaitForAppend(0));
  EXPECT_EQ(history.GetTotal(), 13u);
  sRequestEvent event{};
  EXPECT_FALSE(history.Get(0, event));
  ASSERT_TRUE(history.Get(12, event));
  EXPECT_EQ(event.value, 12u);
}

TEST(QueueNotification, AppendsKnownCodesOnly) {
  auto history = std::make_shared<RequestEventHistory>(kRequestEventHistoryCapacity, true);
  cProtocolQueueNotification notification(history);
  notification.Notify(-1, 1, 0);
  notification.Notify(5, 1, 0);
  notification.Notify(eNotifyResponse, 9, 4);
  EXPECT_EQ(history->GetTotal(), 1u);
  sRequestEvent event{};
  ASSERT_TRUE(history->Get(0, event));
  EXPECT_EQ(event.code, eNotifyResponse);
  EXPECT_EQ(event.requestId, 9u);
  EXPECT_EQ(event.value, 4u);
}

// A clone reaches the client's history while the client holds it, but does
// not keep it alive: once dropped, the history is gone and a late Notify does
// nothing (nor touches freed memory: AddressSanitizer).
TEST(QueueNotification, LateNotifyAfterTheHistoryIsGoneDoesNothing) {
  auto history = std::make_shared<RequestEventHistory>(kRequestEventHistoryCapacity, true);
  auto clone = cProtocolQueueNotification(history).Clone();
  ASSERT_NE(clone, nullptr);
  clone->Notify(eNotifySent, 1, 7);
  sRequestEvent event{};
  ASSERT_TRUE(history->Get(0, event));
  EXPECT_EQ(event.value, 7u);
  const std::weak_ptr<RequestEventHistory> watch = history;
  history.reset();
  EXPECT_TRUE(watch.expired());
  clone->Notify(eNotifySent, 1, 0);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
