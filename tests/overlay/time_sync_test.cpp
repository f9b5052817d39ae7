// A member's exchanges with a fake root: at connect, how the root's time
// answers are counted and averaged, what a failed or skipped exchange
// leaves, and the Register that follows, byte for byte; later, the
// in-overlay ping to the root, which a relay passes up and down untouched
// and whose round trip is taken on 16 bits, across a wrap of the tick count.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::FakeRoot;
using zintar::PeerPacket;
using zintar::TesselJob;

TEST(TimeSyncTest, AnswersAreCountedAveragedAndTruncated) {
  const struct Case {
    const char* name;
    bool syncTime;
    bool silent;  // nothing listens where the root should be
    std::vector<std::optional<int>> shifts;
    uint32_t minor;
    int32_t offset;
    size_t requests;
    uint32_t error;  // 0: connected
  } cases[] = {
      {"three answers", true, false, {240, 251, 262}, 2, 251, 3, 0},
      {"toward zero", true, false, {-3, -2, -2}, 2, -2, 3, 0},
      {"every other lost", true, false, {250, std::nullopt, 250, std::nullopt, 250}, 2, 250, 5, 0},
      {"another room", true, false, {250}, 3, 0, 10, 0x10F05},
      {"silent root", true, true, {250}, 2, 0, 0, 0x10F05},
      {"synchronisation off", false, false, {250}, 2, 0, 0, 0},
      {"silent parent", false, true, {250}, 2, 0, 0, 0x10301},  // after 100 ms
  };
  // The clock stands still, so each answer's offset is exactly its shift.
  tessel_test::FakeClock fakeClock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRoot root(tessel_test::timeAnswers(c.shifts, c.minor));
    ASSERT_TRUE(root.ok());
    int port = tessel_test::freeUdpPort();
    int rootPort = c.silent ? tessel_test::freeUdpPort() : root.port();
    auto member = tessel_test::makeMember(
        1, port, c.syncTime, {tessel_test::memberRecord(0, rootPort), tessel_test::memberRecord(1, port)}, {0, 0});
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(member->connect(c.silent && !c.syncTime ? 100 : 5000), c.error == 0 ? 0 : -1);
    EXPECT_EQ(member->getError(), c.error);
    EXPECT_EQ(member->isConnected(), c.error == 0);
    EXPECT_EQ(member->getClient().getTimeOffset(), c.offset);
    EXPECT_EQ(root.count(PeerPacket::TimeSync), c.requests);
    // Frames count on across the moment the millisecond count since 1900
    // passes 2^31 (as signed 32 bits it jumps from the largest to the
    // smallest value): the offset is taken with wrap-around.
    const int64_t since1900 = 2208988800000;  // ms from 1900 to 1970
    const int64_t wrapAt = int64_t(1) << 31;
    int64_t now = 1767225600000;
    fakeClock.setRealTime(now + ((wrapAt + 100 - (now + since1900)) % (wrapAt * 2) + wrapAt * 2) % (wrapAt * 2));
    EXPECT_EQ(member->getClient().getFrameId(), int32_t(uint32_t(wrapAt) + 100u - uint32_t(c.offset)) / 10);
    fakeClock.setRealTime(now);
    // Only a member that connected registers (nothing is made up without
    // answers): peer 101 in slot 1 of room (1, 2), with a FrameInfo of
    // zeros when clocks are synchronised.
    size_t registers = c.error == 0 ? 1 : 0;
    ASSERT_TRUE(tessel_test::waitFor([&] { return root.count(PeerPacket::Register) == registers; }));
    if (registers == 0) continue;
    std::string expected = std::string(c.syncTime ? "\x51" : "\x11", 1) + std::string("\0\0\0\x01\x02\x04\x01", 7) +
                           std::string(c.syncTime ? 6 : 0, '\0') + std::string("\x65\0\0\0\x01\x08\0\x01", 8);
    for (const auto& in : root.received())
      if (!in.bytes.empty() && (in.bytes[0] & 0x3F) == PeerPacket::Register) {
        EXPECT_EQ(in.bytes, expected);
        EXPECT_TRUE(in.reliable);
      }
  }
}

TEST(OverlayPingTest, RelayPassesPingAndPongOnUnchanged) {
  // Slot 0 is a fake root and 1 relays for the engine in slot 2. The fake
  // root answers each Ping with the Pong a root would send, 20 ms later.
  tessel_test::FakeClock clock;
  FakeRoot root([&clock](const FakeRoot::Received& in) {
    PeerPacket ping;
    if (PeerPacket::fromWire(in.bytes.data(), in.bytes.size(), ping) < 0 || ping.header().type() != PeerPacket::Ping)
      return FakeRoot::Answer();
    clock.advance(20);
    ping.makePong(false, 0, 0);
    return FakeRoot::Answer{tessel_test::wire(ping), in.reliable};
  });
  ASSERT_TRUE(root.ok());
  std::vector<PacketDef::PeerProperty> records;
  for (int slot = 0; slot < 3; ++slot)
    records.push_back(tessel_test::memberRecord(slot, slot == 0 ? root.port() : tessel_test::freeUdpPort()));
  auto relay = tessel_test::makeMember(1, records[1].port, false, records, {0, 0, 1});
  auto member = tessel_test::makeMember(2, records[2].port, false, records, {0, 0, 1});
  ASSERT_TRUE(relay != nullptr && member != nullptr);
  ASSERT_EQ(relay->connect(5000), 0);
  ASSERT_EQ(member->connect(5000), 0);
  ASSERT_TRUE(tessel_test::waitFor([&] { return relay->getClient().getContext(2)->getENetPeer() != nullptr; }));

  // The engine's ping leaves 6 ms before the low 16 bits of the tick count
  // wrap; its pong arrives 20 ms later, after the wrap. What reached the
  // root is the member's own Ping, sent unreliably.
  clock.setTick(65530);
  ASSERT_EQ(member->sendPing(), 0);
  TesselJob job;
  ASSERT_TRUE(tessel_test::waitFor([&] { return member->popJob(job); }));
  EXPECT_EQ(job.getType(), TesselJob::JobPingPong);
  EXPECT_EQ(job.getPing(), 20);
  EXPECT_EQ(job.getPeerId(), 100);  // the root
  std::vector<FakeRoot::Received> atRoot = root.received();
  ASSERT_FALSE(atRoot.empty());
  // Ping, 2 to 0, immediate, 4 bytes: the tick count 65530.
  EXPECT_EQ(atRoot.back().bytes, std::string("\x24\0\0\0\x02\0\x84\0\xFA\xFF\0\0", 12));
  EXPECT_FALSE(atRoot.back().reliable);
}
