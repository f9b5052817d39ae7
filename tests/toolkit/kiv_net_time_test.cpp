#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

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

void putWordAt(Packet& p, int offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// A packet that opens with the word first and holds each stamp big-endian
// (seconds, then milliseconds) at its offset; every other byte is 0.
Packet packet(uint32_t first, std::initializer_list<std::pair<int, NetTime>> stamps) {
  Packet p{};
  putWordAt(p, 0, first);
  for (const auto& [offset, t] : stamps) {
    putWordAt(p, offset, t.seconds);
    putWordAt(p, offset + 4, t.milliseconds);
  }
  return p;
}

std::string printed(NetTime t) {
  testing::internal::CaptureStdout();
  t.print();
  return testing::internal::GetCapturedStdout();
}

std::pair<int64_t, uint16_t> timeNow() {
  std::pair<int64_t, uint16_t> time;
  KivClock::getTime(time.first, time.second);
  return time;
}

}  // namespace

TEST(KivClockTest, FakeSourceDrivesEveryReadingAndWrapsThenTheSystemClockIsBack) {
  {
    tessel_test::FakeClock clock((uint64_t(1) << 32) - 2, 1767225600123);
    EXPECT_EQ(KivClock::getTickCount(), 0xFFFFFFFEu);
    clock.advance(5);
    EXPECT_EQ(KivClock::getTickCount(), 3u);  // wrapped like a 32-bit tick count
    EXPECT_EQ(timeNow(), std::make_pair(int64_t(1767225600), uint16_t(128)));
    EXPECT_EQ(KivClock::getTime32(), 1767225600);
    clock.setRealTime(-1);  // before 1970: milliseconds stay in range
    EXPECT_EQ(timeNow(), std::make_pair(int64_t(-1), uint16_t(999)));
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

TEST(KivNetTimeTest, RequestIsAClientPacketStampedWithTheTimeSince1900WhichWraps) {
  tessel_test::FakeClock clock(1000, StartMs + 0x0102);
  EXPECT_EQ(KivNetTime::getCurrentTime(), NetTime(StartSeconds1900, 0x0102));
  Packet p;
  p.fill(0xEE);
  KivNetTime::request(p.data());
  // Leap 0, version 3, mode 3 (client); stratum 15, poll 8; only the transmit
  // stamp is set.
  EXPECT_EQ(p, packet(0x1B0F0800, {{40, NetTime(StartSeconds1900, 0x0102)}}));
  // Early 2036 the 1900-based seconds roll over to 0.
  clock.setRealTime(((int64_t(1) << 32) - Begin1900 + 5) * 1000 + 7);
  EXPECT_EQ(KivNetTime::getCurrentTime(), NetTime(5, 7));
}

TEST(KivNetTimeTest, AnswerEchoesRequestAndStampsArrivalAndTransmit) {
  struct Case { uint32_t firstByte, expectedFirst; } cases[] = {
      {0x1B, 0x1C},  // client (3) -> server (4), version 3 kept
      {0x19, 0x1A},  // symmetric active (1) -> symmetric passive (2)
      {0x25, 0x22},  // broadcast (5), version 4 -> passive, version kept
      {0xDB, 0x1C},  // a leap indicator is not echoed
  };
  tessel_test::FakeClock clock(1000, StartMs + 250);
  const NetTime sent(0xA1B2C3D4, 0x1E5), now(StartSeconds1900, 250);
  for (const Case& c : cases) {
    // Stratum 2, poll 6, precision -6. Root dispersion and reference id (8),
    // reference (16) and originate (24) are not echoed; transmit becomes originate.
    Packet req = packet(c.firstByte << 24 | 0x0206FA, {{8, NetTime(0x11111111, 0x11111111)},
                        {16, NetTime(0x22222222, 3)}, {24, NetTime(0x33333333, 4)}, {40, sent}});
    Packet ans;
    ans.fill(0xEE);
    KivNetTime::respond(req.data(), ans.data());
    // Own stratum; receive = arrival, transmit = now.
    EXPECT_EQ(ans, packet(c.expectedFirst << 24 | 0x0F06FA, {{24, sent}, {32, now}, {40, now}})) << c.firstByte;
  }
}

TEST(KivNetTimeTest, OffsetFromAnswerStampsOrRefusal) {
  tessel_test::FakeClock clock(1000, StartMs);
  const NetTime now = KivNetTime::getCurrentTime();
  const NetTime t1 = now + -40;
  struct Case { const char* what; NetTime reference, originate, receive, transmit; int32_t expected; } cases[] = {
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
    Packet ans = packet(0x1C000000, {{16, c.reference}, {24, c.originate}, {32, c.receive}, {40, c.transmit}});
    EXPECT_EQ(KivNetTime::getTimeOffset(ans.data()), c.expected) << c.what;
  }
}
