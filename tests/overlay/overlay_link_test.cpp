// The overlay's links and service thread between real engines on
// 127.0.0.1: the Register handshake, the send queue, disconnect broadcasts,
// error reports, hostile input, session reset and shutdown.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::LoopbackRoom;
using tessel_test::RawENetPeer;
using zintar::PeerPacket;
using zintar::TesselJob;

namespace {

std::string packetBytes(uint32_t type, uint32_t srcSlot, uint32_t dstSlot, const void* payload, uint32_t size) {
  PeerPacket packet(type, false);
  packet.header().setSrcSlot(srcSlot);
  packet.header().setDstSlot(dstSlot);
  packet.header().setImmediate(true);
  packet.header().setDataSize(size);
  if (size > 0) std::memcpy(packet.data(), payload, size);
  return std::string(reinterpret_cast<const char*>(&packet), size_t(packet.size(true)));
}

std::string packetBytes(uint32_t type, uint32_t srcSlot, const void* payload, uint32_t size) {
  return packetBytes(type, srcSlot, srcSlot, payload, size);
}

// Services peer until a packet arrives; its bytes, or empty on timeout.
std::string nextReply(RawENetPeer& peer) {
  std::vector<std::string> replies;
  tessel_test::waitFor([&] {
    auto got = peer.poll(10);
    replies.insert(replies.end(), got.begin(), got.end());
    return !replies.empty();
  });
  return replies.empty() ? std::string() : replies[0];
}

}  // namespace

TEST(OverlayLinkTest, RegisterNeverTakesAMembersPlace) {
  // 0 is the root, 1 an inner node, 2 its leaf. Registers at 1 that must
  // not touch a link: each cuts only the connection that sent it.
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.connect());
  const zintar::PeerClient& inner = room.engine(1).getClient();
  ENetPeer* uplink = inner.getContext(0)->getENetPeer();
  ENetPeer* downlink = inner.getContext(2)->getENetPeer();
  const struct {
    int32_t id;
    uint32_t slot;
    const char* from;
    const char* what;
  } registers[] = {
      {999, 2, "127.0.0.1", "a wrong id for the child's slot"},
      {room.peerId(0), 0, "127.0.0.1", "the parent's slot"},
      {room.peerId(1), 1, "127.0.0.1", "the node's own slot"},
      {103, 3, "127.0.0.1", "a slot outside the tree"},
      {room.peerId(2), 2, "127.0.0.2", "the child's id from another address"},
  };
  for (const auto& r : registers) {
    RawENetPeer stranger(r.from);
    ASSERT_TRUE(stranger.connect(room.port(1))) << r.what;
    std::string reg = tessel_test::registerPacket(r.id, r.slot);
    stranger.send(reg.data(), reg.size());
    EXPECT_TRUE(tessel_test::waitFor([&] {
      stranger.poll(5);
      return stranger.disconnected();
    })) << r.what;
    EXPECT_EQ(inner.getContext(0)->getENetPeer(), uplink) << r.what;
    EXPECT_EQ(inner.getContext(2)->getENetPeer(), downlink) << r.what;
  }
  // The room is whole: a broadcast reaches everyone, and nobody was told
  // of a lost link.
  ASSERT_EQ(room.engine(2).castPacket("end", 4, true, true), 0);
  for (int slot = 0; slot < 3; ++slot) {
    std::vector<TesselJob> jobs;
    ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobMessage, 1, jobs)) << "slot " << slot;
    for (const auto& job : jobs) EXPECT_NE(job.getType(), TesselJob::JobDisconnect) << "slot " << slot;
  }
}

TEST(OverlayLinkTest, IdleConnectionsAreCutAndMembersStillGetIn) {
  LoopbackRoom room({0, 0});
  std::vector<std::unique_ptr<RawENetPeer>> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(std::make_unique<RawENetPeer>());
    ASSERT_TRUE(idle.back()->connect(room.port(0))) << i;
  }
  // A ping test and a child's link both get in beside them.
  EXPECT_GE(room.engine(1).pingToPeer(room.peerId(0)), 0);
  ASSERT_TRUE(room.connect(3000));
  // The idle ones are cut within a few seconds; the member's link stays.
  for (auto& peer : idle)
    EXPECT_TRUE(tessel_test::waitFor([&] {
      peer->poll(1);
      return peer->disconnected();
    }));
  EXPECT_NE(room.engine(0).getClient().getContext(1)->getENetPeer(), nullptr);
}

TEST(OverlayLinkTest, RemovedMemberIsReportedAtBothEndsOfItsLink) {
  // The root takes its child out, or the child takes out its parent.
  for (int remover : {0, 1}) {
    LoopbackRoom room({0, 0});
    ASSERT_TRUE(room.connect());
    ASSERT_EQ(room.engine(remover).removePeer(room.peerId(1 - remover)), 0);
    EXPECT_EQ(room.engine(remover).removePeer(room.peerId(1 - remover)), 0) << "removing twice changes nothing";
    for (int slot : {0, 1}) {
      std::vector<TesselJob> jobs;
      ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobDisconnect, 1, jobs)) << remover << " at " << slot;
      EXPECT_EQ(jobs.back().getPeerId(), room.peerId(1 - slot)) << remover << " at " << slot;
    }
  }
}

TEST(OverlayLinkTest, DirectPacketsNeverBounce) {
  // 0 is the root, 1 an inner node, 2 its leaf. The leaf adds itself again
  // while connected: its route to itself must stay its own.
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.connect());
  ASSERT_EQ(room.engine(2).addPeer(room.peerId(2), 2), 0);
  EXPECT_EQ(room.engine(2).getClient().getRoute(2), 2);
  ASSERT_EQ(room.engine(0).sendPacket(room.peerId(2), "d", 1, true), 0);
  std::vector<TesselJob> jobs;
  ASSERT_TRUE(room.waitJobs(2, TesselJob::JobMessage, 1, jobs));
  room.waitJobs(2, TesselJob::JobMessage, 2, jobs, 200);
  EXPECT_EQ(jobs.size(), 1u);

  // A member's Direct packet whose route leads back to it is dropped, not
  // returned: routing tables that disagree cannot loop a packet.
  LoopbackRoom star({0, 0});
  RawENetPeer member;
  ASSERT_TRUE(member.connect(star.port(0)));
  std::string reg = tessel_test::registerPacket(star.peerId(1), 1);
  member.send(reg.data(), reg.size());
  ASSERT_EQ(star.engine(0).connect(1000), 0);
  ASSERT_TRUE(tessel_test::waitFor([&] { return star.engine(0).getClient().getContext(1)->getENetPeer() != nullptr; }));
  std::string direct = packetBytes(PeerPacket::Direct, 1, 1, "x", 1);
  member.send(direct.data(), direct.size());
  EXPECT_TRUE(member.poll(200).empty());
}

TEST(OverlayLinkTest, PeerTableChangesUnderTrafficAreSafe) {
  // While leaf 1 casts and pulls and strangers register as slot 2 again
  // and again, the root's host takes slot 2 out, adds it back and gives a
  // new description (a new frame store). The sanitizer builds watch.
  LoopbackRoom room({0, 0, 0}, 3);
  ASSERT_EQ(room.engine(0).connect(5000), 0);
  ASSERT_EQ(room.engine(1).connect(5000), 0);
  std::atomic<bool> done{false};
  std::thread traffic([&] {
    for (int32_t i = 0; !done; ++i) {
      room.engine(1).castPacket(reinterpret_cast<const char*>(&i), 4, true, false);
      room.engine(1).peekPacket(i % 2 == 0);
      RawENetPeer member;
      if (!member.connect(room.port(0), 32, 200)) continue;
      std::string reg = tessel_test::registerPacket(room.peerId(2), 2);
      member.send(reg.data(), reg.size());
      member.poll(1);
    }
  });
  const std::string& description = room.description();
  for (int round = 0; round < 30; ++round) {
    ASSERT_EQ(room.engine(0).removePeer(room.peerId(2)), 0);
    ASSERT_EQ(room.engine(0).addPeer(room.peerId(2), 2), 0);
    ASSERT_EQ(room.engine(0).setPeerProperty(room.peerId(2), LoopbackRoom::Loopback, room.port(2), false, true), 0);
    ASSERT_EQ(room.engine(0).setTopology(description.data(), int(description.size())), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // let traffic run between changes
  }
  done = true;
  traffic.join();
  // The leaf's link came through it all.
  ASSERT_EQ(room.engine(0).castPacket("end", 4, true, true), 0);
  std::vector<TesselJob> jobs;
  EXPECT_TRUE(tessel_test::waitFor([&] {
    room.drain(1, jobs);
    for (const auto& job : jobs)
      if (job.getType() == TesselJob::JobMessage && job.getDataSize() == 4 && std::strcmp(job.getData(), "end") == 0)
        return true;
    return false;
  }));
}

TEST(OverlayLinkTest, DroppedLinkGivesOneDisconnectAtEveryMember) {
  // 0 is the root with children 1 and 2; 3 hangs below 1. Slot 3 leaves
  // (its session ends, or its engine goes): its link to 1 is dropped, and
  // 1 announces it to the tree.
  for (bool deinit : {false, true}) {
    LoopbackRoom room({0, 0, 0, 1});
    ASSERT_TRUE(room.connect());
    deinit ? room.engine(3).deinit() : void(room.engine(3).endSession());
    for (int slot : {0, 1, 2}) {
      std::vector<TesselJob> jobs;
      ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobDisconnect, 1, jobs)) << deinit << " at " << slot;
      EXPECT_EQ(jobs.back().getPeerId(), room.peerId(3));
    }
    // No member hears of it twice.
    for (int slot : {0, 1, 2}) {
      std::vector<TesselJob> late;
      room.waitJobs(slot, TesselJob::JobDisconnect, 1, late, 200);
      EXPECT_TRUE(late.empty()) << deinit << " at " << slot;
    }
  }
}

TEST(OverlayLinkTest, PacketSharedByLinksReachesThoseThatTakeIt) {
  // 1 is an inner node whose parent link is still connecting (its parent's
  // address is a port where nothing listens), so ENet refuses what is sent
  // on it; 2 and 3 are its children. The links of a fan-out share one ENet
  // packet, and a relay sends on the one it received: each member gets
  // every packet once, whichever links refuse it.
  LoopbackRoom room({0, 0, 1, 1});
  ASSERT_EQ(room.engine(1).setPeerProperty(room.peerId(0), LoopbackRoom::Loopback, tessel_test::freeUdpPort(),
                                           false, true),
            0);
  ASSERT_EQ(room.engine(1).connect(100), -1);
  for (int child : {2, 3}) ASSERT_EQ(room.engine(child).connect(2000), 0);
  ASSERT_TRUE(tessel_test::waitFor([&] {
    const zintar::PeerClient& inner = room.engine(1).getClient();
    return inner.getContext(2)->getENetPeer() != nullptr && inner.getContext(3)->getENetPeer() != nullptr;
  }));
  ENetPeer* parent = room.engine(1).getClient().getContext(0)->getENetPeer();
  ASSERT_NE(parent, nullptr);
  ASSERT_NE(parent->state, ENET_PEER_STATE_CONNECTED);

  const struct {
    int sender;
    int32_t destination;  // -1: a broadcast; else the slot of a Direct packet
    bool reliable;
    std::vector<int> receivers;
  } cases[] = {
      {1, -1, true, {1, 2, 3}},  // parent refused, both children take it
      {2, -1, true, {1, 2, 3}},  // relayed at 1 to 3 and the parent
      {3, -1, false, {1, 2, 3}},
      {2, 0, true, {}},   // forwarded at 1 to the parent alone, refused
      {2, 3, false, {3}},  // forwarded at 1 to 3
  };
  for (const auto& c : cases) {
    std::string text = "from " + std::to_string(c.sender) + " to " + std::to_string(c.destination);
    int result = c.destination < 0
                     ? room.engine(c.sender).castPacket(text.data(), int(text.size()), c.reliable, true)
                     : room.engine(c.sender).sendPacket(room.peerId(c.destination), text.data(), int(text.size()),
                                                        c.reliable);
    ASSERT_EQ(result, 0) << text;
    // A copy too many would show as a stray job here or at the next case.
    for (int slot : {1, 2, 3}) {
      bool expected = std::find(c.receivers.begin(), c.receivers.end(), slot) != c.receivers.end();
      std::vector<TesselJob> jobs;
      room.waitJobs(slot, TesselJob::JobMessage, 1, jobs, expected ? 2000 : 50);
      ASSERT_EQ(jobs.size(), expected ? 1u : 0u) << text << " at " << slot;
      if (!expected) continue;
      EXPECT_EQ(jobs[0].getPeerId(), room.peerId(c.sender)) << text << " at " << slot;
      EXPECT_EQ(std::string(jobs[0].getData(), jobs[0].getDataSize()), text) << text << " at " << slot;
    }
  }
  for (int slot : {1, 2, 3}) {
    std::vector<TesselJob> late;
    room.waitJobs(slot, TesselJob::JobMessage, 1, late, 100);
    EXPECT_TRUE(late.empty()) << "at " << slot;
  }
}

TEST(OverlayLinkTest, ErrorPacketsBecomeErrorJobsAndGarbageIsSurvived) {
  LoopbackRoom room({0, 0, 0});
  // A member registered in slot 2 that sends everything a broken peer might.
  RawENetPeer peer;
  ASSERT_TRUE(peer.connect(room.port(0)));
  std::string reg = tessel_test::registerPacket(room.peerId(2), 2);
  peer.send(reg.data(), reg.size());
  ASSERT_TRUE(tessel_test::waitFor(
      [&] { return room.engine(0).getClient().getContext(2)->getENetPeer() != nullptr; }));
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

TEST(OverlayLinkTest, StrangersCannotSpeakForTheRoom) {
  // 0 is the root, 1 an inner node, 2 its leaf. Strangers connect to 1
  // without registering and send it what a member could: each is cut off,
  // and none of it reaches any member.
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.connect());
  PacketDef::PeerProperty leaf = tessel_test::memberRecord(2, room.port(2));
  uint32_t word = 0x10F07;
  const struct {
    uint32_t type;
    uint32_t src;
    uint32_t dst;
    std::string payload;
    const char* harm;
  } strangers[] = {
      {PeerPacket::Disconnect, 0, 0, std::string(reinterpret_cast<const char*>(&leaf), sizeof(leaf)),
       "reports the leaf gone at every member"},
      {PeerPacket::Data, 0, 0, "fake", "an immediate broadcast in the root's name"},
      {PeerPacket::Peek, 2, 2, "", "pulls the frame store"},
      {PeerPacket::Direct, 0, 2, "fake", "a direct packet to the leaf in the root's name"},
      {PeerPacket::Direct, 2, 1, "fake", "a direct packet to 1 in the leaf's name"},
      {PeerPacket::Ping, 2, 0, "tick", "makes the root answer the leaf"},
      {PeerPacket::Pong, 0, 2, "tick", "a round trip at the leaf"},
      {PeerPacket::Pong, 0, 1, "tick", "a round trip at 1"},
      {PeerPacket::Error, 0, 1, std::string(reinterpret_cast<const char*>(&word), 4), "an error report from the root"},
      {PeerPacket::PingTestReply, 0, 0, "tick0000", "a reply nobody asked for"},
      {50, 0, 0, "", "an unknown type"},
  };
  for (const auto& s : strangers) {
    RawENetPeer stranger;
    ASSERT_TRUE(stranger.connect(room.port(1)));
    std::string bytes = packetBytes(s.type, s.src, s.dst, s.payload.data(), uint32_t(s.payload.size()));
    stranger.send(bytes.data(), bytes.size());
    EXPECT_TRUE(tessel_test::waitFor([&] {
      stranger.poll(5);
      return stranger.disconnected();
    })) << s.harm;
  }
  // Broadcasts from 1 and then from the root travel behind anything the
  // strangers' packets could have set off; after them every member must
  // hold nothing but the two.
  std::vector<std::vector<TesselJob>> jobs(3);
  for (int origin : {1, 0}) {
    ASSERT_EQ(room.engine(origin).castPacket("end", 4, true, true), 0);
    for (int slot = 0; slot < 3; ++slot)
      ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobMessage, origin == 1 ? 1 : 2, jobs[size_t(slot)]));
  }
  for (int slot = 0; slot < 3; ++slot) {
    ASSERT_EQ(jobs[size_t(slot)].size(), 2u) << "at " << slot;
    EXPECT_EQ(jobs[size_t(slot)][0].getPeerId(), room.peerId(1)) << "at " << slot;
    EXPECT_EQ(jobs[size_t(slot)][1].getPeerId(), room.peerId(0)) << "at " << slot;
  }

  // The same kind of client may still test its ping and synchronise its
  // clock, as often as it likes.
  RawENetPeer tester;
  ASSERT_TRUE(tester.connect(room.port(1), 1));
  uint32_t ticks = 0xCAFEF00D;
  std::string test = packetBytes(PeerPacket::PingTest, 0, &ticks, 4);
  unsigned char request[KivNetTime::PacketSize];
  KivNetTime::request(request);
  std::string sync = packetBytes(PeerPacket::TimeSync, 0, request, sizeof(request));
  const struct {
    const std::string* bytes;
    uint32_t replyType;
    size_t replySize;
  } exchanges[] = {{&test, PeerPacket::PingTestReply, 16}, {&sync, PeerPacket::TimeSync, 60}, {&test, PeerPacket::PingTestReply, 16}};
  for (const auto& e : exchanges) {
    tester.send(e.bytes->data(), e.bytes->size(), false);
    std::string reply = nextReply(tester);
    ASSERT_EQ(reply.size(), e.replySize) << e.replyType;
    EXPECT_EQ(static_cast<uint8_t>(reply[0]) & 0x3F, e.replyType);
  }
  EXPECT_FALSE(tester.disconnected());
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
  std::string reply = nextReply(tester);
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(static_cast<uint8_t>(reply[0]) & 0x3F, PeerPacket::PingTestReply);
  EXPECT_EQ(std::memcmp(reply.data() + 8, &ticks, 4), 0);
}

TEST(OverlayLinkTest, DeinitAfterStopEndsThreadOnce) {
  // The overlay on its own, without an engine above it.
  zintar::PeerClient client;
  ASSERT_EQ(client.init(zintar::OverlayCallbacks(), tessel_test::freeUdpPort(), true, 3), 0);
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
