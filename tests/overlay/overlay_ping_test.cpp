// The in-overlay ping to the root: relays that pass Ping and Pong on
// untouched, and the 16-bit round trip across a wrap of the tick count.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::FakeRoot;
using tessel_test::LoopbackRoom;
using tessel_test::RawENetPeer;
using tessel_test::wire;
using zintar::PeerPacket;
using zintar::TesselJob;

namespace {


PeerPacket pingFrom(uint32_t srcSlot, uint32_t dstSlot, uint32_t ticks) {
  PeerPacket ping(PeerPacket::Ping, false);
  ping.header().setSrcSlot(srcSlot);
  ping.header().setDstSlot(dstSlot);
  ping.header().setImmediate(true);
  ping.header().setDataSize(4);
  std::memcpy(ping.data(), &ticks, 4);
  return ping;
}

// The Pong a root sends for ping.
PeerPacket pongFor(const PeerPacket& ping) {
  PeerPacket pong(ping);
  pong.makePong(false, 0, 0);
  pong.header().setDstSlot(ping.header().srcSlot());
  return pong;
}

}  // namespace

TEST(OverlayPingTest, RelayPassesPingAndPongOnUnchanged) {
  // Slot 0 is a fake root; 1 relays for the engine in slot 2 and for a raw
  // peer registered in slot 3. The fake root answers each Ping with the
  // Pong a root would send, 20 ms later, as reliable as the Ping came.
  tessel_test::FakeClock clock;
  FakeRoot root([&clock](const FakeRoot::Received& in) {
    FakeRoot::Answer answer;
    PeerPacket ping;
    if (PeerPacket::fromWire(in.bytes.data(), in.bytes.size(), ping) < 0 ||
        ping.header().type() != PeerPacket::Ping)
      return answer;
    clock.advance(20);
    answer.bytes = wire(pongFor(ping));
    answer.reliable = in.reliable;
    return answer;
  });
  ASSERT_TRUE(root.ok());
  int relayPort = tessel_test::freeUdpPort();
  int memberPort = tessel_test::freeUdpPort();
  std::vector<PacketDef::PeerProperty> records = {
      tessel_test::memberRecord(0, root.port()), tessel_test::memberRecord(1, relayPort),
      tessel_test::memberRecord(2, memberPort), tessel_test::memberRecord(3, tessel_test::freeUdpPort())};
  std::vector<int32_t> parents = {0, 0, 1, 1};
  auto relay = tessel_test::makeMember(1, relayPort, false, records, parents);
  auto member = tessel_test::makeMember(2, memberPort, false, records, parents);
  ASSERT_NE(relay, nullptr);
  ASSERT_NE(member, nullptr);
  ASSERT_EQ(relay->connect(5000), 0);
  ASSERT_EQ(member->connect(5000), 0);
  RawENetPeer raw;
  ASSERT_TRUE(raw.connect(relayPort));
  std::string reg = tessel_test::registerPacket(103, 3);
  raw.send(reg.data(), reg.size());
  ASSERT_TRUE(tessel_test::waitFor([&] {
    return relay->getClient().getContext(2)->getENetPeer() != nullptr &&
           relay->getClient().getContext(3)->getENetPeer() != nullptr;
  }));

  // The engine's ping leaves 6 ms before the low 16 bits of the tick count
  // wrap; its pong arrives 20 ms later, after the wrap.
  clock.setTick(65530);
  ASSERT_EQ(member->sendPing(), 0);
  TesselJob job;
  ASSERT_TRUE(tessel_test::waitFor([&] { return member->popJob(job); }));
  EXPECT_EQ(job.getType(), TesselJob::JobPingPong);
  EXPECT_EQ(job.getPing(), 20);
  EXPECT_EQ(job.getPeerId(), LoopbackRoom::FirstPeerId);
  // What reached the root is the member's own Ping, sent unreliably.
  auto arrived = root.received();
  std::string expected = wire(pingFrom(2, 0, 65530));
  bool found = false;
  for (const auto& packet : arrived)
    if (packet.bytes == expected) {
      found = true;
      EXPECT_FALSE(packet.reliable);
    }
  EXPECT_TRUE(found);

  // Pings of a raw member, reliable and not: the relay passes each Ping up
  // and each Pong down byte for byte, with the reliability it came with.
  const struct {
    uint32_t ticks;
    bool reliable;
  } cases[] = {{0x0001FFF0u, true}, {0x12345678u, false}};
  for (const auto& c : cases) {
    PeerPacket ping = pingFrom(3, 0, c.ticks);
    raw.send(&ping, size_t(ping.size(true)), c.reliable);
    std::vector<std::string> pongs;
    std::vector<bool> reliable;
    ASSERT_TRUE(tessel_test::waitFor([&] {
      auto got = raw.poll(10, &reliable);
      pongs.insert(pongs.end(), got.begin(), got.end());
      return !pongs.empty();
    }));
    EXPECT_EQ(pongs[0], wire(pongFor(ping))) << c.ticks;
    EXPECT_EQ(reliable[0], c.reliable) << c.ticks;
    bool up = false;
    for (const auto& packet : root.received())
      if (packet.bytes == wire(ping)) {
        up = true;
        EXPECT_EQ(packet.reliable, c.reliable) << c.ticks;
      }
    EXPECT_TRUE(up) << c.ticks;
  }
}
