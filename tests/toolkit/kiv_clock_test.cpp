#include <gtest/gtest.h>

#include "tessel/toolkit/kiv_clock.h"
#include "tests/support/fake_clock.h"

TEST(KivClockTest, FakeSourceDrivesEveryReadingAndWrapsThenTheSystemClockIsBack) {
  {
    tessel_test::FakeClock clock((uint64_t(1) << 32) - 2, 1767225600123);
    EXPECT_EQ(KivClock::getTickCount(), 0xFFFFFFFEu);
    clock.advance(5);
    EXPECT_EQ(KivClock::getTickCount(), 3u);  // wrapped like a 32-bit tick count
    int64_t seconds;
    uint16_t ms;
    KivClock::getTime(seconds, ms);
    EXPECT_EQ(seconds, 1767225600);
    EXPECT_EQ(ms, 128);
    EXPECT_EQ(KivClock::getTime32(), 1767225600);
    clock.setRealTime(-1);  // before 1970: milliseconds stay in range
    KivClock::getTime(seconds, ms);
    EXPECT_EQ(seconds, -1);
    EXPECT_EQ(ms, 999);
  }
  uint32_t tick = KivClock::getTickCount();
  EXPECT_GT(KivClock::getRealTimeMs(), 1700000000000);  // after 2023
  EXPECT_GE(static_cast<int32_t>(KivClock::getTickCount() - tick), 0);
}
