// Collecting write responses from the SDL log: what counts, what stops the
// collection, and the exact lines printed.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "device/sdl/sdl_write_responses.h"
#include "protocol/shared_buffer.h"
#include "test_support.h"

namespace {

constexpr uint32_t kFastPauseMs = 1;

// A log that counts the collector's passes over it (each pass reads the count
// once), so that a test can add an entry while the collector is between two
// passes, waiting, instead of guessing how long that takes.
class cPassCountingLog : public cProtocolLog {
 public:
  using cProtocolLog::cProtocolLog;

  // Counts the pass after reading: an entry added in answer to the count is
  // never part of the pass that announced it.
  uint32_t GetCount() override {
    const uint32_t count = cProtocolLog::GetCount();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++passes_;
    }
    passed_.notify_all();
    return count;
  }

  // True once the collector has made more than `passes` passes.
  bool WaitForPassesAbove(uint32_t passes) {
    std::unique_lock<std::mutex> lock(mutex_);
    return passed_.wait_for(lock, std::chrono::seconds(10), [&] { return passes_ > passes; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable passed_;
  uint32_t passes_ = 0;
};

class CollectWriteResponseTest : public testing::Test {
 protected:
  void Received(const Bytes& bytes) { ASSERT_GE(log_.Add(Packet(kBufferKindSdlReceived, bytes)), 0); }
  void Sent(const Bytes& bytes) { ASSERT_GE(log_.Add(Packet(kBufferKindSdlSent, bytes)), 0); }

  // Runs one collection; its output goes to output_.
  bool Collect() {
    bool found = false;
    output_ = ConsoleOutputOf([&] { found = CollectWriteResponse(log_, next_, kFastPauseMs); });
    return found;
  }

  cProtocolLog log_{64};
  uint32_t next_ = 0;
  std::string output_;
};

TEST_F(CollectWriteResponseTest, ValidResponsePrintsItsAddressAndSkipsOwnWrites) {
  Sent({0x07, 0x00, 0x00, 0xB0, 0x00, 0xAA});
  Received({0x08, 0x78, 0x56, 0x34, 0x12});
  EXPECT_TRUE(Collect());
  EXPECT_EQ(output_, "Received SDL write response (0x12345678)\n");
  EXPECT_EQ(next_, 2u);
}

TEST_F(CollectWriteResponseTest, MalformedResponseStillCounts) {
  Received({0x08, 0x78, 0x56, 0x34, 0x12, 0x00});
  EXPECT_TRUE(Collect());
  EXPECT_EQ(output_, "Received invalid SDL write response\n");
  Received({0x08, 0x01});
  EXPECT_TRUE(Collect());
  EXPECT_EQ(output_, "Received invalid SDL write response\n");
  EXPECT_EQ(next_, 2u);
}

TEST_F(CollectWriteResponseTest, FoundResponseNamesItsAddressUnlessMalformed) {
  std::optional<uint32_t> address = 1u;
  Received({0x08, 0x78, 0x56, 0x34, 0x12});
  Received({0x08, 0x78, 0x56, 0x34, 0x12, 0x00});
  ConsoleOutputOf([&] { EXPECT_TRUE(CollectWriteResponse(log_, next_, address, kFastPauseMs)); });
  EXPECT_EQ(address, 0x12345678u);
  ConsoleOutputOf([&] { EXPECT_TRUE(CollectWriteResponse(log_, next_, address, kFastPauseMs)); });
  EXPECT_EQ(address, std::nullopt);
  address = 1u;
  ConsoleOutputOf([&] { EXPECT_FALSE(CollectWriteResponse(log_, next_, address, kFastPauseMs)); });
  EXPECT_EQ(address, std::nullopt);
}

TEST_F(CollectWriteResponseTest, ErrorPacketStopsTheCollection) {
  Received({0x0D, 0x07, 0x00, 0x00, 0x00, 0x00});
  Received({0x08, 0x00, 0x00, 0x00, 0x00});
  EXPECT_FALSE(Collect());
  EXPECT_EQ(output_, "Received SDL error (7)\n");
  EXPECT_EQ(next_, 1u);  // the response after it is left for the next call
  EXPECT_TRUE(Collect());
  EXPECT_EQ(output_, "Received SDL write response (0x00000000)\n");
}

TEST_F(CollectWriteResponseTest, ShortErrorPacketIsReportedAsInvalid) {
  Received({0x0D, 0x07, 0x00, 0x00, 0x00});
  EXPECT_FALSE(Collect());
  EXPECT_EQ(output_, "Received invalid SDL error\n");
  Received({0x0D});
  EXPECT_FALSE(Collect());
  EXPECT_EQ(output_, "Received invalid SDL error\n");
}

TEST_F(CollectWriteResponseTest, LogPacketsArePrintedAndPassedOver) {
  Received({0x0E, 'h', 'i'});
  Received({0x0E});
  Received({0x08, 0x00, 0x10, 0x00, 0x00});
  EXPECT_TRUE(Collect());
  EXPECT_EQ(output_, "Received SDL log\nReceived SDL log\nReceived SDL write response (0x00001000)\n");
}

TEST_F(CollectWriteResponseTest, ResponsesAreCountedOneAtATime) {
  Received({0x08, 0x00, 0x00, 0x00, 0x00});
  Received({0x08, 0x00, 0x10, 0x00, 0x00});
  EXPECT_TRUE(Collect());
  EXPECT_TRUE(Collect());
  EXPECT_EQ(output_, "Received SDL write response (0x00001000)\n");
  EXPECT_FALSE(Collect());  // nothing left: gives up after its passes
  EXPECT_EQ(output_, "");
  EXPECT_EQ(next_, 2u);
}

TEST_F(CollectWriteResponseTest, EntryDroppedFromTheLogStops) {
  for (int i = 0; i < 70; ++i) Received({0x08, 0x00, 0x00, 0x00, 0x00});
  EXPECT_FALSE(Collect());
  EXPECT_EQ(output_, "");
  EXPECT_EQ(next_, 1u);
}

TEST_F(CollectWriteResponseTest, GivesUpAfterItsPassesWhenNothingArrives) {
  Sent({0x07, 0, 0, 0, 0, 1});
  EXPECT_FALSE(Collect());
  EXPECT_EQ(output_, "");
  EXPECT_EQ(next_, 1u);
}

// The collector sleeps while the log has nothing new, but a packet logged by
// the worker ends the sleep at once: it does not wait out its pause.
TEST_F(CollectWriteResponseTest, WakesAsSoonAsAResponseIsLogged) {
  constexpr uint32_t kLongPauseMs = 3000;
  cPassCountingLog log(64);
  bool collectorWaited = false;
  std::thread worker([&] {
    collectorWaited = log.WaitForPassesAbove(0);  // found nothing: now it sleeps
    log.Add(Packet(kBufferKindSdlReceived, {0x08, 0x00, 0x20, 0x00, 0x00}));
  });
  bool found = false;
  const auto start = std::chrono::steady_clock::now();
  output_ = ConsoleOutputOf([&] { found = CollectWriteResponse(log, next_, kLongPauseMs); });
  const auto took = std::chrono::steady_clock::now() - start;
  worker.join();
  EXPECT_TRUE(collectorWaited);
  EXPECT_TRUE(found);
  EXPECT_EQ(output_, "Received SDL write response (0x00002000)\n");
  EXPECT_LT(took, std::chrono::milliseconds(kLongPauseMs / 2));
}

// Sixty log packets that each wake the collector on their own, more wake-ups
// than it has passes, use up only the time actually waited for them.
TEST_F(CollectWriteResponseTest, LogPacketsArrivingOneByOneDoNotUseUpTheAllowance) {
  cPassCountingLog log(256);
  bool oneByOne = true;
  std::thread worker([&] {
    // Each packet comes after the collector's latest pass, so each one ends a
    // wait of its own.
    for (uint32_t i = 0; i < 60; ++i) {
      oneByOne = log.WaitForPassesAbove(i) && oneByOne;
      log.Add(Packet(kBufferKindSdlReceived, {0x0E, static_cast<uint8_t>(i)}));
    }
    oneByOne = log.WaitForPassesAbove(60) && oneByOne;
    log.Add(Packet(kBufferKindSdlReceived, {0x08, 0x00, 0x30, 0x00, 0x00}));
  });
  bool found = false;
  const std::string output = ConsoleOutputOf([&] { found = CollectWriteResponse(log, next_); });
  worker.join();
  EXPECT_TRUE(oneByOne);
  EXPECT_TRUE(found);
  std::string expected;
  for (int i = 0; i < 60; ++i) expected += "Received SDL log\n";
  EXPECT_EQ(output, expected + "Received SDL write response (0x00003000)\n");
  EXPECT_EQ(next_, 61u);
}

// The program's own allowance: about 5 s of silence, then the collection
// gives up without a line.
TEST_F(CollectWriteResponseTest, GivesUpAfterFiveSecondsOfSilence) {
  Sent({0x07, 0, 0, 0, 0, 1});
  bool found = true;
  const auto start = std::chrono::steady_clock::now();
  output_ = ConsoleOutputOf([&] { found = CollectWriteResponse(log_, next_); });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(found);
  EXPECT_EQ(output_, "");
  EXPECT_GE(took, std::chrono::milliseconds(kSdlCollectPasses * kSdlCollectPauseMs));
  EXPECT_LT(took, std::chrono::seconds(10));
}

}  // namespace
