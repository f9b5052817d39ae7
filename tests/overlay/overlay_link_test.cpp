// The overlay's links and service thread between real engines on
// 127.0.0.1: the Register handshake, the send queue, disconnect broadcasts,
// error reports, hostile input, session reset and shutdown.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::LoopbackRoom;
using tessel_test::RawENetPeer;
using zintar::PeerPacket;
using zintar::TesselJob;

namespace {

std::string packetBytes(uint32_t type, uint32_t srcSlot, const void* payload, uint32_t size) {
  PeerPacket packet(type, false);
  packet.header().setSrcSlot(srcSlot);
  packet.header().setDstSlot(srcSlot);
  packet.header().setImmediate(true);
  packet.header().setDataSize(size);
  if (size > 0) std::memcpy(packet.data(), payload, size);
  return std::string(reinterpret_cast<const char*>(&packet), size_t(packet.size(true)));
}

}  // namespace

TEST(OverlayLinkTest, ChildLinksRegisterAndParentsAdoptThem) {
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.connect());
  // Each parent holds an accepted link; each child holds the link it opened.
  const zintar::PeerContext* atRoom0 = room.engine(0).getClient().getContext(1);
  const zintar::PeerContext* atRoom1 = room.engine(1).getClient().getContext(0);
  EXPECT_FALSE(atRoom0->isServer());
  EXPECT_TRUE(atRoom1->isServer());
  EXPECT_NE(room.engine(1).getClient().getContext(2)->getENetPeer(), nullptr);
  EXPECT_EQ(room.engine(2).getCenterPeer(), room.peerId(0));
  EXPECT_EQ(room.engine(2).getRootPort(), room.port(0));
}

TEST(OverlayLinkTest, RegisterWithWrongIdIsDisconnected) {
  LoopbackRoom room({0, 0});
  // Slot 1 expects peer 101: a stranger claiming slot 1 with another id is
  // thrown out and cannot keep one of the host's peer places.
  RawENetPeer stranger;
  ASSERT_TRUE(stranger.connect(room.port(0)));
  std::string reg = tessel_test::registerPacket(999, 1);
  stranger.send(reg.data(), reg.size());
  ASSERT_TRUE(tessel_test::waitFor([&] {
    stranger.poll(10);
    return stranger.disconnected();
  }));
  EXPECT_EQ(room.engine(0).getClient().getContext(1)->getENetPeer(), nullptr);

  // The right id is adopted: traffic for slot 1 now leaves over that link.
  RawENetPeer member;
  ASSERT_TRUE(member.connect(room.port(0)));
  reg = tessel_test::registerPacket(101, 1);
  member.send(reg.data(), reg.size());
  ASSERT_TRUE(tessel_test::waitFor(
      [&] { return room.engine(0).getClient().getContext(1)->getENetPeer() != nullptr; }));
  EXPECT_FALSE(member.disconnected());
}

TEST(OverlayLinkTest, QueuedSendsArriveInOrder) {
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.connect());
  const int count = 300;
  for (int32_t i = 0; i < count; ++i)
    ASSERT_EQ(room.engine(2).sendPacket(room.peerId(0), reinterpret_cast<const char*>(&i), 4, true), 0);
  std::vector<TesselJob> jobs;
  ASSERT_TRUE(room.waitJobs(0, TesselJob::JobMessage, count, jobs));
  for (int32_t i = 0; i < count; ++i) {
    int32_t value;
    std::memcpy(&value, jobs[size_t(i)].getData(), 4);
    ASSERT_EQ(value, i);
    EXPECT_EQ(jobs[size_t(i)].getPeerId(), room.peerId(2));
  }
}

TEST(OverlayLinkTest, DroppedLinkGivesOneDisconnectAtEveryMember) {
  // 0 is the root with children 1 and 2; 3 hangs below 1.
  LoopbackRoom room({0, 0, 0, 1});
  ASSERT_TRUE(room.connect());
  // Slot 3 leaves: its link to 1 is dropped, 1 announces it to the tree.
  room.engine(3).endSession();
  for (int slot : {0, 1, 2}) {
    std::vector<TesselJob> jobs;
    ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobDisconnect, 1, jobs)) << "slot " << slot;
    EXPECT_EQ(jobs.back().getPeerId(), room.peerId(3));
  }
  // No member hears of it twice.
  for (int slot : {0, 1, 2}) {
    std::vector<TesselJob> late;
    room.waitJobs(slot, TesselJob::JobDisconnect, 1, late, 200);
    EXPECT_TRUE(late.empty()) << "slot " << slot;
  }
}

TEST(OverlayLinkTest, ErrorPacketsBecomeErrorJobsAndGarbageIsSurvived) {
  LoopbackRoom room({0, 0, 0});
  RawENetPeer peer;
  ASSERT_TRUE(peer.connect(room.port(0)));
  // Malformed input of every kind first.
  std::vector<std::string> garbage = {
      std::string(),
      std::string(3, '\x3E'),
      std::string(7, '\0'),
      packetBytes(PeerPacket::Error, 2, "\x01\x02\x03\x04", 4).substr(0, 10),  // shorter than announced
      packetBytes(PeerPacket::Error, 40, "\x01\x02\x03\x04", 4),              // slot out of range
      packetBytes(PeerPacket::Direct, 1, "x", 1),                             // no route yet
      packetBytes(PeerPacket::Data, 31, "y", 1),
      packetBytes(PeerPacket::PingTestReply, 1, "12345678", 8),
      packetBytes(PeerPacket::Disconnect, 2, "ab", 2),
      std::string(5000, '\xFF'),
  };
  PeerPacket huge(PeerPacket::Data, false);
  huge.header().setDataSize(2047);
  garbage.emplace_back(reinterpret_cast<const char*>(&huge), 8);
  for (const auto& bytes : garbage) peer.send(bytes.data(), bytes.size());
  uint32_t code = 0x10F07;
  std::string error = packetBytes(PeerPacket::Error, 2, &code, 4);
  peer.send(error.data(), error.size());

  std::vector<TesselJob> jobs;
  ASSERT_TRUE(room.waitJobs(0, TesselJob::JobError, 1, jobs));
  const TesselJob* reported = nullptr;
  for (const auto& job : jobs)
    if (job.getType() == TesselJob::JobError) reported = &job;
  ASSERT_NE(reported, nullptr);
  EXPECT_EQ(reported->getPeerId(), room.peerId(2));
  EXPECT_EQ(reported->getError(), 0x10F07u);
}

TEST(OverlayLinkTest, EndSessionKeepsThreadAndClearsLinks) {
  LoopbackRoom room({0, 0});
  ASSERT_TRUE(room.connect());
  room.engine(0).endSession();
  const auto& client = room.engine(0).getClient();
  for (int slot = 0; slot < 32; ++slot) {
    EXPECT_EQ(client.getContext(slot)->getENetPeer(), nullptr);
    EXPECT_EQ(+client.getContext(slot)->getPeerProperty().id, -1);
    EXPECT_EQ(client.getRoute(slot), -1);
  }
  EXPECT_EQ(client.getRootSlotId(), -1);
  EXPECT_EQ(client.getReadIndex(), 0u);
  // The service thread still answers a ping test.
  RawENetPeer tester;
  ASSERT_TRUE(tester.connect(room.port(0), 1));
  uint32_t ticks = 0xCAFEF00D;
  std::string test = packetBytes(PeerPacket::PingTest, 0, &ticks, 4);
  tester.send(test.data(), test.size(), false);
  std::vector<std::string> replies;
  ASSERT_TRUE(tessel_test::waitFor([&] {
    auto got = tester.poll(10);
    replies.insert(replies.end(), got.begin(), got.end());
    return !replies.empty();
  }));
  ASSERT_EQ(replies[0].size(), 16u);
  EXPECT_EQ(static_cast<uint8_t>(replies[0][0]) & 0x3F, PeerPacket::PingTestReply);
  EXPECT_EQ(std::memcmp(replies[0].data() + 8, &ticks, 4), 0);
}

TEST(OverlayLinkTest, DeinitAfterStopEndsThreadOnce) {
  zintar::Tessel engine;
  ASSERT_EQ(engine.init(5, 0, false, 0, false, false), 0);
  zintar::PeerClient client;
  ASSERT_EQ(client.init(&engine, tessel_test::freeUdpPort(), true, 3), 0);
  client.stop();
  client.deinit();
  client.deinit();
  EXPECT_EQ(client.connectPeers(10), 0);  // no parent: nothing to wait for
}

TEST(OverlayLinkTest, ConnectTimesOutWhenParentIsSilent) {
  // Slot 1's parent (slot 0) is a port where nothing listens.
  zintar::Tessel engine;
  ASSERT_EQ(engine.init(101, tessel_test::freeUdpPort(), true, 0, false, false), 0);
  engine.startSession();
  engine.setRoomId(1, 2);
  PacketDef::PeerProperty parent;
  parent.id = 100;
  parent.roomId.setSlot(0);
  parent.ip = LoopbackRoom::Loopback;
  parent.port = static_cast<uint16_t>(tessel_test::freeUdpPort());
  std::string description = tessel_test::topologyDescription(0, 0, false, {parent}, {0, 0});
  ASSERT_EQ(engine.setTopology(description.data(), int(description.size())), 0);
  engine.addPeer(101, 1);
  EXPECT_EQ(engine.connect(100), -1);
  EXPECT_EQ(engine.getError(), 0x10301u);
  EXPECT_FALSE(engine.isConnected());
}
