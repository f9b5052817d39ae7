#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "tessel/toolkit/kiv_clock.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_support.h"

using NetTime = KivNetTime::NetTime;
using Packet = std::array<unsigned char, KivNetTime::PacketSize>;

namespace {

// Seconds from 1900 to 1970.
constexpr int64_t Begin1900 = 2208988800;
// 2026-01-01 00:00:00 UTC, the fake clock's start.
constexpr int64_t StartMs = 1767225600000;
constexpr uint32_t StartSeconds1900 = uint32_t(StartMs / 1000 + Begin1900);

uint32_t wordAt(const Packet& p, int offset) {
  return uint32_t(p[offset]) << 24 | uint32_t(p[offset + 1]) << 16 | uint32_t(p[offset + 2]) << 8 | p[offset + 3];
}

void putWordAt(Packet& p, int offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void putStampAt(Packet& p, int offset, NetTime t) {
  putWordAt(p, offset, t.seconds);
  putWordAt(p, offset + 4, t.milliseconds);
}

std::string printed(NetTime t) {
  testing::internal::CaptureStdout();
  t.print();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

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
  EXPECT_TRUE(tessel_test::waitFor([tick] { return KivClock::getTickCount() != tick; }));
}

TEST(KivNetTimeTest, ArithmeticCarriesAndWrapsComparisonsAreUnsigned) {
  struct Sum { NetTime start; int32_t ms; NetTime expected; } sums[] = {
      {{10, 900}, 200, {11, 100}},
      {{10, 0}, -1, {10, 0xFFFFFFFFu}},  // the carry truncates toward zero
      {{10, 500}, -1500, {9, 0}},
      {{0xFFFFFFFFu, 999}, 1, {0, 0}},  // the seconds wrap
  };
  for (const Sum& c : sums) {
    EXPECT_EQ(c.start + c.ms, c.expected) << c.start.seconds << "," << c.start.milliseconds << " + " << c.ms;
  }
  EXPECT_EQ(NetTime(11, 100) - NetTime(10, 900), 200);
  EXPECT_EQ(NetTime(10, 900) - NetTime(11, 100), -200);
  EXPECT_EQ(NetTime(0, 0) - NetTime(0xFFFFFFFFu, 0), 1000);  // across the rollover

  // Orders are unsigned per field; the seconds decide first.
  EXPECT_TRUE(NetTime(0x7FFFFFFFu, 999) < NetTime(0x80000000u, 0) && NetTime(5, 0xFFFFFFFFu) > NetTime(5, 1));
  EXPECT_TRUE(NetTime(5, 5) == NetTime(5, 5) && NetTime(5, 5) != NetTime(6, 5));
  EXPECT_FALSE(NetTime(5, 5) < NetTime(5, 5) || NetTime(5, 5) != NetTime(5, 5));
  EXPECT_EQ(printed(NetTime(90061, 5)), "1-1:1:1:5\n");  // days-hours:minutes:seconds:ms
  EXPECT_EQ(printed(NetTime(10, 0) + -1), "0-0:0:10:-1\n");
  EXPECT_EQ(printed(NetTime(0xFFFFFFFFu, 999)), "49710-6:28:15:999\n");
}

TEST(KivNetTimeTest, CurrentTimeCountsFrom1900AndWraps) {
  tessel_test::FakeClock clock(1000, StartMs + 123);
  EXPECT_EQ(KivNetTime::getCurrentTime(), NetTime(StartSeconds1900, 123));
  // Early 2036 the 1900-based seconds roll over to 0.
  clock.setRealTime(((int64_t(1) << 32) - Begin1900 + 5) * 1000 + 7);
  EXPECT_EQ(KivNetTime::getCurrentTime(), NetTime(5, 7));
}

TEST(KivNetTimeTest, RequestIsAClientPacketStampedOnlyWithItsTransmitTime) {
  tessel_test::FakeClock clock(1000, StartMs + 0x0102);
  Packet p;
  p.fill(0xEE);
  KivNetTime::request(p.data());
  EXPECT_EQ(wordAt(p, 0), 0x1B0F0800u);  // leap 0, version 3, mode 3 (client); stratum 15, poll 8
  for (int i = 4; i < 40; ++i) EXPECT_EQ(p[i], 0) << "byte " << i;
  EXPECT_EQ(wordAt(p, 40), StartSeconds1900);  // big-endian seconds, then milliseconds
  EXPECT_EQ(wordAt(p, 44), 0x0102u);
}

TEST(KivNetTimeTest, AnswerEchoesRequestAndStampsArrivalAndTransmit) {
  struct Case { unsigned char firstByte, expectedFirst; } cases[] = {
      {0x1B, 0x1C},  // client (3) -> server (4), version 3 kept
      {0x19, 0x1A},  // symmetric active (1) -> symmetric passive (2)
      {0x25, 0x22},  // broadcast (5), version 4 -> passive, version kept
      {0xDB, 0x1C},  // a leap indicator is not echoed
  };
  tessel_test::FakeClock clock(1000, StartMs + 250);
  for (const Case& c : cases) {
    Packet req{};
    putWordAt(req, 0, uint32_t(c.firstByte) << 24 | 0x0206FA);  // stratum 2, poll 6, precision -6
    putWordAt(req, 8, 0x11111111);                    // root dispersion: not echoed
    putStampAt(req, 16, NetTime(0x22222222, 3));      // reference: not echoed
    putStampAt(req, 24, NetTime(0x33333333, 4));      // originate: not echoed
    putStampAt(req, 40, NetTime(0xA1B2C3D4, 0x1E5));  // transmit becomes originate
    Packet ans;
    ans.fill(0xEE);
    KivNetTime::respond(req.data(), ans.data());
    EXPECT_EQ(wordAt(ans, 0), uint32_t(c.expectedFirst) << 24 | 0x0F06FA) << int(c.firstByte);  // own stratum
    for (int i = 4; i < 24; ++i) EXPECT_EQ(ans[i], 0) << "byte " << i;
    EXPECT_EQ(wordAt(ans, 24), 0xA1B2C3D4u);
    EXPECT_EQ(wordAt(ans, 28), 0x1E5u);
    EXPECT_EQ(wordAt(ans, 32), StartSeconds1900);  // receive = arrival
    EXPECT_EQ(wordAt(ans, 36), 250u);
    EXPECT_EQ(wordAt(ans, 40), StartSeconds1900);  // transmit = now
    EXPECT_EQ(wordAt(ans, 44), 250u);
  }
}

TEST(KivNetTimeTest, OffsetFromAnswerStampsOrRefusal) {
  tessel_test::FakeClock clock(1000, StartMs);
  const NetTime now = KivNetTime::getCurrentTime();
  const NetTime t1 = now + -40;
  struct Case { const char* what; NetTime reference, originate, receive, transmit; int32_t expected; };
  const Case cases[] = {
      {"sane, symmetric", {}, t1, t1 + 20, t1 + 20, 0},
      {"sane, server 100 ms behind", {}, t1, t1 + -80, t1 + -80, 100},
      {"sum -3 halves toward zero", {}, now, now + -3, now, 1},
      {"no transmit time", {}, now + -10, now + -10, {}, -1},
      {"no receive time", {}, t1, {}, t1 + 20, -1},
      {"receive before reference", t1 + 21, t1, t1 + 20, t1 + 20, -1},
      {"receive after reference", t1 + 19, t1, t1 + 20, t1 + 20, 0},
      {"round trip exactly one hour", {}, now + -3600000, now + -3600000, now + -3600000, 1800000},
      {"round trip one hour and 1 ms", {}, now + -3600001, now + -3600001, now + -3600001, -1},
      {"answer sent before it was received", {}, t1, t1 + 20, t1 + 19, -1},
      {"answer arrives before the request left", {}, now + 1, now + 1, now + 1, -1},
      {"answer held one hour and 1 ms", {}, t1, t1 + -3600001, t1 + 0, -1},
  };
  for (const Case& c : cases) {
    Packet ans{};
    ans[0] = 0x1C;
    putStampAt(ans, 16, c.reference);
    putStampAt(ans, 24, c.originate);
    putStampAt(ans, 32, c.receive);
    putStampAt(ans, 40, c.transmit);
    EXPECT_EQ(KivNetTime::getTimeOffset(ans.data()), c.expected) << c.what;
  }
}
