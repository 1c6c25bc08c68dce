// Collecting write responses from the SDL log: what counts, what stops the
// collection, and the exact lines printed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "device/sdl/sdl_write_responses.h"
#include "protocol/shared_buffer.h"
#include "test_support.h"

namespace {

constexpr uint32_t kFastPauseMs = 1;

cWriteAcknowledgements WritesSentTo(std::initializer_list<uint32_t> addresses) {
  cWriteAcknowledgements writes;
  for (uint32_t address : addresses) writes.Sent(address);
  return writes;
}

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
    output_ = TranscriptOf(
        [&](const report::cReporter& reporter) { found = CollectWriteResponse(log_, next_, reporter, kFastPauseMs); });
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

// With an account of the writes, once responses have named two different
// writes, a response that repeats the address of a write already answered by
// name is printed and passed over; the collection goes on to the next
// response.
TEST_F(CollectWriteResponseTest, DuplicateIsPrintedButNotCounted) {
  cWriteAcknowledgements writes = WritesSentTo({0x1000, 0x2000, 0x3000});
  Received({0x08, 0x00, 0x10, 0x00, 0x00});
  Received({0x08, 0x00, 0x20, 0x00, 0x00});
  Received({0x08, 0x00, 0x20, 0x00, 0x00});
  Received({0x08, 0x00, 0x30, 0x00, 0x00});
  output_ = TranscriptOf([&](const report::cReporter& reporter) {
    EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
  });
  output_ = TranscriptOf([&](const report::cReporter& reporter) {
    EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
  });
  EXPECT_EQ(output_, "Received SDL write response (0x00002000)\n");
  output_ = TranscriptOf([&](const report::cReporter& reporter) {
    EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
  });
  EXPECT_EQ(output_, "Received SDL write response (0x00002000)\nReceived SDL write response (0x00003000)\n");
  EXPECT_EQ(writes.Acknowledged(), 3u);
  EXPECT_EQ(next_, 4u);
}

TEST_F(CollectWriteResponseTest, DuplicateCoveringALostWriteLeavesItUnanswered) {
  cWriteAcknowledgements writes = WritesSentTo({0x1000, 0x2000, 0x3000});  // the third is lost
  Received({0x08, 0x00, 0x10, 0x00, 0x00});
  Received({0x08, 0x00, 0x20, 0x00, 0x00});
  Received({0x08, 0x00, 0x20, 0x00, 0x00});
  for (int i = 0; i < 2; ++i) {
    output_ = TranscriptOf([&](const report::cReporter& reporter) {
      EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
    });
  }
  output_ = TranscriptOf([&](const report::cReporter& reporter) {
    EXPECT_FALSE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
  });
  EXPECT_EQ(output_, "Received SDL write response (0x00002000)\n");
  EXPECT_EQ(writes.Acknowledged(), 2u);
}

// Padded and truncated responses count, printed as invalid; a padded one
// still names its write.
TEST_F(CollectWriteResponseTest, MalformedResponsesCountAgainstTheAccount) {
  cWriteAcknowledgements writes = WritesSentTo({0x1000, 0x2000, 0x3000});
  Received({0x08, 0x00, 0x10, 0x00, 0x00});
  Received({0x08, 0x00, 0x30, 0x00, 0x00, 0x00});  // padded, names the third write
  Received({0x08, 0x00, 0x10});                    // truncated: closes the oldest open one
  Received({0x08, 0x00, 0x30, 0x00, 0x00});        // the third write again: a duplicate
  output_ = TranscriptOf([&](const report::cReporter& reporter) {
    EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
  });
  for (int i = 0; i < 2; ++i) {
    output_ = TranscriptOf([&](const report::cReporter& reporter) {
      EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
    });
    EXPECT_EQ(output_, "Received invalid SDL write response\n");
  }
  output_ = TranscriptOf([&](const report::cReporter& reporter) {
    EXPECT_FALSE(CollectWriteResponse(log_, next_, writes, reporter, kFastPauseMs));
  });
  EXPECT_EQ(output_, "Received SDL write response (0x00003000)\n");
  EXPECT_EQ(writes.Acknowledged(), 3u);
}

// A module repeating one answer over and over cannot keep the host waiting:
// the time between the duplicates is waiting, and it all counts against one
// allowance.
TEST_F(CollectWriteResponseTest, DuplicatesDoNotStretchTheAllowance) {
  constexpr uint32_t kPauseMs = 10;  // an allowance of 500 ms
  cWriteAcknowledgements writes = WritesSentTo({0x1000, 0x2000, 0x3000});
  Received({0x08, 0x00, 0x10, 0x00, 0x00});
  Received({0x08, 0x00, 0x20, 0x00, 0x00});
  for (int i = 0; i < 2; ++i) {
    TranscriptOf([&](const report::cReporter& reporter) {
      EXPECT_TRUE(CollectWriteResponse(log_, next_, writes, reporter, kPauseMs));
    });
  }
  cProtocolLog& log = log_;
  std::atomic<bool> stop{false};
  std::thread module([&] {
    for (int i = 0; i < 75 && !stop; ++i) {  // 3 s at most, should the allowance stretch
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      log.Add(Packet(kBufferKindSdlReceived, {0x08, 0x00, 0x10, 0x00, 0x00}));
    }
  });
  bool found = true;
  const auto start = std::chrono::steady_clock::now();
  TranscriptOf([&](const report::cReporter& reporter) {
    found = CollectWriteResponse(log_, next_, writes, reporter, kPauseMs);
  });
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  module.join();
  EXPECT_FALSE(found);
  EXPECT_LT(took, std::chrono::milliseconds(1500));
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
  output_ = TranscriptOf(
      [&](const report::cReporter& reporter) { found = CollectWriteResponse(log, next_, reporter, kLongPauseMs); });
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
  const std::string output =
      TranscriptOf([&](const report::cReporter& reporter) { found = CollectWriteResponse(log, next_, reporter); });
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
  output_ =
      TranscriptOf([&](const report::cReporter& reporter) { found = CollectWriteResponse(log_, next_, reporter); });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(found);
  EXPECT_EQ(output_, "");
  EXPECT_GE(took, std::chrono::milliseconds(kSdlCollectPasses * kSdlCollectPauseMs));
  EXPECT_LT(took, std::chrono::milliseconds(6500));
}

// A log that costs the collector 2 ms at each look, as printing a few lines
// does on a slow console, while the module sends it a log packet every
// 0.5 ms: each look finds new packets, so the collector hardly ever waits.
// (A shorter cost would not hold under Wine, whose sleeps are whole
// milliseconds.)
class cSlowToReadLog : public cProtocolLog {
 public:
  using cProtocolLog::cProtocolLog;
  uint32_t GetCount() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return cProtocolLog::GetCount();
  }
};

// However busy the module keeps it, one collection ends twice its allowance
// after it began.
TEST(CollectWriteResponseCap, LogFloodWithAWriteNeverAnsweredEndsWithinTenSeconds) {
  // As large as a log gets: a collector that a loaded machine leaves
  // unscheduled for a while must not find its next entry dropped (that
  // ends a collection by design, early).
  cSlowToReadLog log(kMaxProtocolLogCapacity);
  std::atomic<bool> stop{false};
  std::thread module([&] {
    // 30 s at most, should the collection not end.
    const auto start = std::chrono::steady_clock::now();
    for (auto at = start; !stop && at < start + std::chrono::seconds(30); at += std::chrono::microseconds(500)) {
      std::this_thread::sleep_until(at);
      log.Add(Packet(kBufferKindSdlReceived, {0x0E, 'l', 'o', 'g'}));
    }
  });
  cWriteAcknowledgements writes = WritesSentTo({0x1000});  // never answered
  uint32_t next = 0;
  bool found = true;
  const auto start = std::chrono::steady_clock::now();
  const std::string output = TranscriptOf(
      [&](const report::cReporter& reporter) { found = CollectWriteResponse(log, next, writes, reporter); });
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  module.join();
  EXPECT_FALSE(found);
  EXPECT_GT(next, 1000u);  // the flood went on throughout
  EXPECT_EQ(output.find("Received SDL write response"), std::string::npos);
  const auto cap = std::chrono::milliseconds(kSdlCollectCapFactor * kSdlCollectPasses * kSdlCollectPauseMs);
  EXPECT_GE(took, cap - std::chrono::milliseconds(100));
  EXPECT_LT(took, cap + std::chrono::milliseconds(1500));
}

// The account itself: which write a response closes, and which response is a
// duplicate.

TEST(WriteAcknowledgements, ResponsesNamingOpenWritesCloseThemInAnyOrder) {
  cWriteAcknowledgements writes = WritesSentTo({0x100, 0x200, 0x300});
  EXPECT_TRUE(writes.Take(0x300u));
  EXPECT_TRUE(writes.Take(0x100u));
  EXPECT_TRUE(writes.Take(0x200u));
  EXPECT_EQ(writes.Acknowledged(), 3u);
  EXPECT_EQ(writes.NamingNoWrite(), 0u);
  EXPECT_FALSE(writes.Take(0x200u));  // every write answered by name: any repeat is a duplicate
  EXPECT_EQ(writes.Acknowledged(), 3u);
}

// Programmers that report their addresses otherwise (relative to the base,
// the end address, zero) are counted in turn, and the strangers are tallied.
TEST(WriteAcknowledgements, AddressesNamingNoWriteAreCountedInTurn) {
  cWriteAcknowledgements writes = WritesSentTo({0x00200000, 0x00201000, 0x00202000, 0x00203000});
  for (uint32_t i = 0; i < 4; ++i) EXPECT_TRUE(writes.Take(i * 0x1000));
  EXPECT_EQ(writes.Acknowledged(), 4u);
  EXPECT_EQ(writes.NamingNoWrite(), 4u);
}

TEST(WriteAcknowledgements, ResponsesWithoutAnAddressCloseTheOldestOpenWrite) {
  cWriteAcknowledgements writes = WritesSentTo({0x100, 0x200, 0x300});
  EXPECT_TRUE(writes.Take(0x100u));
  EXPECT_TRUE(writes.Take(std::nullopt));  // closes 0x200 in turn
  // No response has named 0x200 yet: the first that does counts (closing
  // 0x300); a second one is a duplicate.
  EXPECT_TRUE(writes.Take(0x200u));
  EXPECT_EQ(writes.Acknowledged(), 3u);
  EXPECT_EQ(writes.NamingNoWrite(), 0u);
  EXPECT_FALSE(writes.Take(0x100u));
  EXPECT_FALSE(writes.Take(0x200u));
}

// A stray response counted for the oldest open write shifts the count by
// one; each write's own response still counts once, and once two writes have
// been named, a second response naming the same write is a duplicate.
TEST(WriteAcknowledgements, StrayResponseShiftsTheCountButDuplicatesAreStillFound) {
  cWriteAcknowledgements writes = WritesSentTo({0x100, 0x200, 0x300, 0x400});
  EXPECT_TRUE(writes.Take(0x7F000000u));  // closes 0x100
  EXPECT_TRUE(writes.Take(0x100u));       // closes 0x200
  EXPECT_TRUE(writes.Take(0x200u));       // closes 0x300
  EXPECT_FALSE(writes.Take(0x100u));
  EXPECT_TRUE(writes.Take(0x300u));  // closes 0x400
  EXPECT_EQ(writes.Acknowledged(), 4u);
  EXPECT_EQ(writes.NamingNoWrite(), 1u);
}

// The end-address habit: each response names the next write, already on its
// way in a window; the last names no write. All count.
TEST(WriteAcknowledgements, EndAddressesCountOncePerResponse) {
  cWriteAcknowledgements writes = WritesSentTo({0x100, 0x200, 0x300});
  EXPECT_TRUE(writes.Take(0x200u));
  EXPECT_TRUE(writes.Take(0x300u));
  EXPECT_TRUE(writes.Take(0x400u));
  EXPECT_EQ(writes.Acknowledged(), 3u);
  EXPECT_EQ(writes.NamingNoWrite(), 1u);
}

// A window of 0 awaits a response before the first write: one that comes
// counts although no write is open.
TEST(WriteAcknowledgements, ResponseWithNoWriteOpenStillCounts) {
  cWriteAcknowledgements writes;
  EXPECT_TRUE(writes.Take(0x100u));
  writes.Sent(0x100u);
  EXPECT_TRUE(writes.Take(0x100u));
  EXPECT_EQ(writes.Acknowledged(), 2u);
  EXPECT_EQ(writes.SentCount(), 1u);
  EXPECT_EQ(writes.WithNoWriteOpen(), 1u);
}

// A programmer that puts one address in every response (its base address, or
// zero for a base of zero) names the first write every time: until responses
// have named two different writes, a repeat counts for the oldest open write.
TEST(WriteAcknowledgements, OneAddressInEveryResponseCountsForEachWriteInTurn) {
  for (const uint32_t base : {0x00200000u, 0u}) {
    cWriteAcknowledgements writes = WritesSentTo({base, base + 0x1000, base + 0x2000, base + 0x3000});
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(writes.Take(base)) << i;
    EXPECT_EQ(writes.Acknowledged(), 4u);
    EXPECT_EQ(writes.NamingNoWrite(), 0u);
    EXPECT_EQ(writes.WithNoWriteOpen(), 0u);
  }
}

TEST(WriteAcknowledgements, RepeatIsADuplicateOnlyOnceTwoWritesWereNamed) {
  cWriteAcknowledgements writes = WritesSentTo({0x100, 0x200, 0x300, 0x400});
  EXPECT_TRUE(writes.Take(0x100u));
  EXPECT_TRUE(writes.Take(0x100u));  // one write named so far: counts, closing 0x200
  EXPECT_TRUE(writes.Take(0x300u));  // the second write named
  EXPECT_FALSE(writes.Take(0x300u));
  EXPECT_FALSE(writes.Take(0x100u));
  EXPECT_TRUE(writes.Take(0x400u));
  EXPECT_EQ(writes.Acknowledged(), 4u);
}

}  // namespace
