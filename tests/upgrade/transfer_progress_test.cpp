// The progress status line's text and pace: what it says at a given point,
// and how often a new text is handed out on each kind of terminal.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "upgrade/transfer_progress.h"

namespace {

using platform::eStatusStyle;

constexpr uint64_t kMegabytes = 27000000;

TEST(TransferMeter, RedrawnLineSaysBytesPercentageRateAndTimeLeft) {
  cTransferMeter meter(L"SDL write", kMegabytes, eStatusStyle::Redrawn, 5000);
  // Nothing through yet: no rate to tell and no time left to guess.
  EXPECT_EQ(meter.Update(0, 5000), L"SDL write: 0.00 of 27.00 MB, 0%");
  // 9 MB in 9 s: 1 MB/s, 18 s to go.
  EXPECT_EQ(meter.Update(9000000, 14000), L"SDL write: 9.00 of 27.00 MB, 33%, 1.00 MB/s, 0:18 left");
  EXPECT_EQ(meter.Update(kMegabytes, 32000), L"SDL write: 27.00 of 27.00 MB, 100%, 1.00 MB/s, 0:00 left");
}

TEST(TransferMeter, SmallTransfersCountInKilobytesAndLongOnesInHours) {
  cTransferMeter small(L"SDL write", 61864, eStatusStyle::Redrawn, 0);
  EXPECT_EQ(small.Update(30932, 500), L"SDL write: 30.93 of 61.86 kB, 50%, 61.86 kB/s, 0:01 left");
  cTransferMeter slow(L"SDL write", kMegabytes, eStatusStyle::Redrawn, 0);
  // 1 MB in 1000 s: 26,000 s left, 7 h 13 min 20 s.
  EXPECT_EQ(slow.Update(1000000, 1000000), L"SDL write: 1.00 of 27.00 MB, 3%, 0.00 MB/s, 7:13:20 left");
}

TEST(TransferMeter, RedrawnAtMostTenTimesASecond) {
  cTransferMeter meter(L"SDL write", kMegabytes, eStatusStyle::Redrawn, 0);
  EXPECT_TRUE(meter.Update(1000, 10));
  EXPECT_FALSE(meter.Update(2000, 60));
  EXPECT_FALSE(meter.Update(3000, 109));
  EXPECT_TRUE(meter.Update(4000, 110));
  EXPECT_FALSE(meter.Update(5000, 209));
  EXPECT_TRUE(meter.Update(5000, 210));  // the same bytes: the rate and time left move on
}

TEST(TransferMeter, PlainLinesAtMostOnceASecondAndOnlyForANewPercentage) {
  cTransferMeter meter(L"SDL write", 1000, eStatusStyle::PlainLines, 0);
  EXPECT_EQ(meter.Update(10, 0), L"SDL write: 1%");
  EXPECT_FALSE(meter.Update(500, 999));
  EXPECT_EQ(meter.Update(500, 1000), L"SDL write: 50%");
  EXPECT_FALSE(meter.Update(509, 5000));  // still 50%
  EXPECT_EQ(meter.Update(1000, 5001), L"SDL write: 100%");
}

TEST(TransferMeter, TheTickWrappingDuringTheTransferChangesNothing) {
  const uint32_t start = 0xFFFFFC18;  // 1000 ms before the tick wraps
  cTransferMeter meter(L"SDL write", kMegabytes, eStatusStyle::Redrawn, start);
  EXPECT_TRUE(meter.Update(0, 0xFFFFFFC0));
  EXPECT_FALSE(meter.Update(1000, 0x10));  // 80 ms later, across the wrap
  EXPECT_EQ(meter.Update(2000000, 1000), L"SDL write: 2.00 of 27.00 MB, 7%, 1.00 MB/s, 0:25 left");
}

TEST(TransferMeter, NoStatusLineNoText) {
  cTransferMeter meter(L"SDL write", kMegabytes, eStatusStyle::None, 0);
  EXPECT_FALSE(meter.Update(0, 0));
  EXPECT_FALSE(meter.Update(kMegabytes, 10000));
}

}  // namespace
