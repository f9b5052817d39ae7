// Time synchronisation with the root between real engines on 127.0.0.1:
// the offset a client ahead of the root measures, how answers are counted
// and averaged, answers from another room, and when no exchange happens.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

using tessel_test::FakeRoot;
using tessel_test::LoopbackRoom;
using zintar::PeerPacket;

namespace {

// A clock source that runs ahead by a fixed amount on the threads that ask
// for it, and on time everywhere else: the test thread (which runs a
// client's synchronisation) and the root's service thread then disagree as
// two machines' clocks would. It can be frozen to compare frame ids.
thread_local bool clockAhead = false;
std::atomic<int64_t> aheadMs{0};
std::atomic<int64_t> frozenAt{0};

uint64_t monotonicNow() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int64_t realNow() {
  int64_t now = frozenAt.load();
  if (now == 0)
    now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count();
  return now + (clockAhead ? aheadMs.load() : 0);
}

const KivClock::Source shiftedSource = {monotonicNow, realNow};

class ShiftedClock {
 public:
  explicit ShiftedClock(int64_t ms) {
    aheadMs = ms;
    frozenAt = 0;
    KivClock::setSource(&shiftedSource);
  }
  ~ShiftedClock() {
    KivClock::setSource(nullptr);
    clockAhead = false;
  }
  void freeze() {
    frozenAt = 0;
    bool ahead = clockAhead;
    clockAhead = false;
    frozenAt = realNow();
    clockAhead = ahead;
  }
};

}  // namespace

TEST(TimeSyncTest, ClientAheadOfRootCountsTheRootsFrames) {
  ShiftedClock clock(250);
  LoopbackRoom room({0, 0, 1}, 0, true);
  // Everything this thread does, the root's connect included, reads a
  // clock 250 ms ahead; the engines' service threads read the true one.
  clockAhead = true;
  ASSERT_TRUE(room.connect());
  // The root keeps its clock: had it synchronised with itself it would
  // have measured 250 too.
  EXPECT_EQ(room.engine(0).getClient().getTimeOffset(), 0);
  for (int slot : {1, 2}) EXPECT_NEAR(room.engine(slot).getClient().getTimeOffset(), 250, 30) << "slot " << slot;

  clock.freeze();
  int32_t clientFrame = room.engine(2).getClient().getFrameId();
  clockAhead = false;
  int32_t rootFrame = room.engine(0).getClient().getFrameId();
  EXPECT_LE(std::abs(clientFrame - rootFrame), 3);
}

TEST(TimeSyncTest, AnswersAreCountedAveragedAndTruncated) {
  struct Case {
    const char* name;
    std::vector<std::optional<int>> shifts;
    uint32_t minor;
    int result;
    int32_t offset;
    size_t requests;
  };
  const Case cases[] = {
      {"three answers", {240, 251, 262}, 2, 0, 251, 3},
      {"toward zero", {-3, -2, -2}, 2, 0, -2, 3},
      {"every other lost", {250, std::nullopt, 250, std::nullopt, 250}, 2, 0, 250, 5},
      {"another room", {250}, 3, -1, 0, 10},
  };
  // The clock stands still, so each answer's offset is exactly its shift.
  tessel_test::FakeClock fakeClock;
  for (const Case& c : cases) {
    FakeRoot root(tessel_test::timeAnswers(c.shifts, c.minor));
    ASSERT_TRUE(root.ok());
    int port = tessel_test::freeUdpPort();
    auto member = tessel_test::makeMember(
        1, port, true, {tessel_test::memberRecord(0, root.port()), tessel_test::memberRecord(1, port)}, {0, 0});
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(member->connect(5000), c.result) << c.name;
    EXPECT_EQ(member->getClient().getTimeOffset(), c.offset) << c.name;
    EXPECT_EQ(root.count(PeerPacket::TimeSync), c.requests) << c.name;
    // Frames count on across the moment the millisecond count since 1900
    // passes 2^31 (as signed 32 bits it jumps from the largest to the
    // smallest value): the offset is taken with wrap-around.
    const int64_t since1900 = 2208988800000;  // ms from 1900 to 1970
    const int64_t wrapAt = int64_t(1) << 31;
    int64_t now = 1767225600000;
    fakeClock.setRealTime(now + ((wrapAt + 100 - (now + since1900)) % (wrapAt * 2) + wrapAt * 2) % (wrapAt * 2));
    EXPECT_EQ(member->getClient().getFrameId(), int32_t(uint32_t(wrapAt) + 100u - uint32_t(c.offset)) / 10) << c.name;
    fakeClock.setRealTime(now);
    if (c.result < 0) {
      // Nothing was counted: no offset is made up and no link is opened.
      EXPECT_EQ(member->getError(), 0x10F05u) << c.name;
      EXPECT_EQ(root.count(PeerPacket::Register), 0u) << c.name;
    }
  }
}

TEST(TimeSyncTest, WithSynchronisationOffNoTimeRequestIsSent) {
  FakeRoot root(tessel_test::timeAnswers({250}, 2));
  ASSERT_TRUE(root.ok());
  int port = tessel_test::freeUdpPort();
  auto member = tessel_test::makeMember(
      1, port, false, {tessel_test::memberRecord(0, root.port()), tessel_test::memberRecord(1, port)}, {0, 0});
  ASSERT_NE(member, nullptr);
  ASSERT_EQ(member->connect(5000), 0);
  ASSERT_TRUE(tessel_test::waitFor([&] { return root.count(PeerPacket::Register) == 1; }));
  EXPECT_EQ(root.count(PeerPacket::TimeSync), 0u);
  EXPECT_EQ(member->getClient().getTimeOffset(), 0);
  // The Register of peer 101 in slot 1 of room (1, 2), byte for byte.
  const std::string expected("\x11\0\0\0\x01\x02\x04\x01" "\x65\0\0\0" "\x01\x08\0\x01", 16);
  auto received = root.received();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received[0].bytes, expected);
  EXPECT_TRUE(received[0].reliable);
}

TEST(TimeSyncTest, SilentRootFailsTheConnection) {
  // Nothing listens where the root should be: no connection in time.
  int port = tessel_test::freeUdpPort();
  auto member = tessel_test::makeMember(
      1, port, true,
      {tessel_test::memberRecord(0, tessel_test::freeUdpPort()), tessel_test::memberRecord(1, port)}, {0, 0});
  ASSERT_NE(member, nullptr);
  EXPECT_EQ(member->connect(5000), -1);
  EXPECT_EQ(member->getError(), 0x10F05u);
  EXPECT_FALSE(member->isConnected());
}
