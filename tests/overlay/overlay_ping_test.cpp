// The in-overlay ping to the root: a relay passes the Ping up and the Pong
// down untouched, and the round trip is taken on 16 bits, across a wrap of
// the tick count.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::FakeRoot;
using tessel_test::wire;
using zintar::PeerPacket;
using zintar::TesselJob;

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
    return FakeRoot::Answer{wire(ping), in.reliable};
  });
  ASSERT_TRUE(root.ok());
  std::vector<PacketDef::PeerProperty> records;
  for (int slot = 0; slot < 3; ++slot)
    records.push_back(tessel_test::memberRecord(slot, slot == 0 ? root.port() : tessel_test::freeUdpPort()));
  int relayPort = records[1].port;
  auto relay = tessel_test::makeMember(1, relayPort, false, records, {0, 0, 1});
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
  EXPECT_EQ(job.getPeerId(), tessel_test::LoopbackRoom::FirstPeerId);
  std::vector<FakeRoot::Received> atRoot = root.received();
  ASSERT_FALSE(atRoot.empty());
  // Ping, 2 to 0, immediate, 4 bytes: the tick count 65530.
  EXPECT_EQ(atRoot.back().bytes, std::string("\x24\0\0\0\x02\0\x84\0\xFA\xFF\0\0", 12));
  EXPECT_FALSE(atRoot.back().reliable);
}
