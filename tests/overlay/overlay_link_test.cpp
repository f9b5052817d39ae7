// The overlay's links and service thread between real engines on
// 127.0.0.1: who may register or speak on a link, idle connections,
// routing that never bounces, disconnect reports, error reports, hostile
// input, a packet shared by several links, and the end of a session.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::LoopbackRoom;
using tessel_test::RawENetPeer;
using zintar::PeerPacket;
using zintar::TesselJob;

namespace {

// The bytes of a packet as the overlay writes its own control traffic.
std::string packetBytes(unsigned short type, uint32_t srcSlot, uint32_t dstSlot, const void* payload, uint32_t size) {
  return tessel_test::wire(PeerPacket::control(type, false, srcSlot, dstSlot, payload, size));
}

// Sends bytes unreliably and services peer until a packet arrives; its
// bytes, or empty on timeout.
std::string ask(RawENetPeer& peer, const std::string& bytes) {
  peer.send(bytes.data(), bytes.size(), false);
  std::vector<std::string> replies;
  tessel_test::waitFor([&] { return !(replies = peer.poll(10)).empty(); });
  return replies.empty() ? std::string() : replies[0];
}

// The jobs slot's engine holds once one of type has come and 200 ms more
// have passed for a second.
std::vector<TesselJob> settledJobs(LoopbackRoom& room, int slot, uint16_t type) {
  std::vector<TesselJob> jobs;
  if (room.waitJobs(slot, type, 1, jobs)) room.waitJobs(slot, type, 2, jobs, 200);
  return jobs;
}

// Whether the engine cuts peer off within the wait.
bool cutOff(RawENetPeer& peer) {
  return tessel_test::waitFor([&] {
    peer.poll(5);
    return peer.disconnected();
  });
}

// The engine's answer to tester's peer ping test: the ticks echoed after a
// header from its own slot, then room (1, 2) without a slot.
void expectPingTestAnswer(RawENetPeer& tester, uint32_t slot) {
  uint32_t ticks = 0xCAFEF00D;
  uint32_t words[4] = {PeerPacket::PingTestReply, slot | slot << 9 | 1u << 18 | 8u << 21, ticks, 1u | 2u << 10};
  EXPECT_EQ(ask(tester, tessel_test::wire(PeerPacket::pingTest(ticks))),
            std::string(reinterpret_cast<const char*>(words), sizeof(words)));
}

}  // namespace

TEST(OverlayLinkTest, StrangersNeitherTakeAMembersPlaceNorSpeakForTheRoom) {
  // 0 is the root, 1 an inner node, 2 its leaf. Strangers connect to 1 and
  // register where they may not, or send what only a member could: each
  // is cut off, no link changes, and none of it reaches any member.
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.connect());
  const zintar::PeerClient& inner = room.engine(1).getClient();
  ENetPeer* uplink = inner.getContext(0)->getENetPeer();
  ENetPeer* downlink = inner.getContext(2)->getENetPeer();
  PacketDef::PeerProperty leaf = tessel_test::memberRecord(2, room.port(2));
  const struct {
    std::string bytes;
    const char* harm;
    const char* from = nullptr;  // any local address
  } strangers[] = {
      {tessel_test::registerPacket(999, 2), "a wrong id for the child's slot"},
      {tessel_test::registerPacket(room.peerId(0), 0), "the parent's slot"},
      {tessel_test::registerPacket(room.peerId(1), 1), "the node's own slot"},
      {tessel_test::registerPacket(103, 3), "a slot outside the tree"},
      {tessel_test::registerPacket(room.peerId(2), 2), "the child's id from another address", "127.0.0.2"},
      {packetBytes(PeerPacket::Disconnect, 0, 0, &leaf, sizeof(leaf)), "reports the leaf gone at every member"},
      {packetBytes(PeerPacket::Data, 0, 0, "fake", 4), "an immediate broadcast in the root's name"},
      {packetBytes(PeerPacket::Direct, 0, 2, "fake", 4), "a direct packet to the leaf"},
      {packetBytes(PeerPacket::Error, 0, 1, "fake", 4), "an error report from the root"},
      {packetBytes(50, 0, 0, "", 0), "an unknown type"},
  };
  for (const auto& s : strangers) {
    RawENetPeer stranger(s.from);
    ASSERT_TRUE(stranger.connect(room.port(1))) << s.harm;
    stranger.send(s.bytes.data(), s.bytes.size());
    EXPECT_TRUE(cutOff(stranger)) << s.harm;
    EXPECT_EQ(inner.getContext(0)->getENetPeer(), uplink) << s.harm;
    EXPECT_EQ(inner.getContext(2)->getENetPeer(), downlink) << s.harm;
  }
  // The leaf adds itself again while connected: its route to itself stays
  // its own, so a direct packet to it is taken, not bounced (garbage).
  ASSERT_EQ(room.engine(2).addPeer(room.peerId(2), 2), 0);
  EXPECT_EQ(room.engine(2).getClient().getRoute(2), 2);
  std::vector<std::vector<TesselJob>> jobs(3);
  ASSERT_EQ(room.engine(0).sendPacket(room.peerId(2), "d", 1, true), 0);
  ASSERT_TRUE(room.waitJobs(2, TesselJob::JobMessage, 1, jobs[2]));
  // Broadcasts from 1 and then from the root travel behind anything the
  // strangers' packets or the direct one could have set off; after them
  // every member must hold nothing but these.
  for (int origin : {1, 0}) {
    ASSERT_EQ(room.engine(origin).castPacket("end", 4, true, true), 0);
    for (size_t slot = 0; slot < 3; ++slot)
      ASSERT_TRUE(room.waitJobs(int(slot), TesselJob::JobMessage, (origin == 1 ? 1 : 2) + (slot == 2), jobs[slot]));
  }
  const std::vector<int32_t> senders[] = {{1, 0}, {1, 0}, {0, 1, 0}};
  for (size_t slot = 0; slot < 3; ++slot) {
    std::vector<int32_t> got;
    for (const auto& job : jobs[slot]) got.push_back(job.getPeerId() - LoopbackRoom::FirstPeerId);
    EXPECT_EQ(got, senders[slot]) << "at " << slot;
  }

  // The same kind of client may test its ping and synchronise its clock,
  // as often as it likes; the time answer carries 1's clock (here 250 ms
  // behind the tester's) and the room without a slot.
  tessel_test::FakeClock clock;
  RawENetPeer tester;
  ASSERT_TRUE(tester.connect(room.port(1), 1));
  PeerPacket request(PeerPacket::TimeSync, false);
  request.header().setDataSize(KivNetTime::PacketSize);
  for (int round = 0; round < 2; ++round) {
    expectPingTestAnswer(tester, 1);
    KivNetTime::request(reinterpret_cast<unsigned char*>(request.data()));
    clock.advance(-250);
    std::string reply = ask(tester, tessel_test::wire(request));
    clock.advance(250);
    ASSERT_EQ(reply.size(), 8u + KivNetTime::PacketSize + 4);
    EXPECT_EQ(reply.substr(0, 8), std::string("\x14\0\0\0\x01\x02\x84\x06", 8));  // 1 to 1, immediate, 52 bytes
    EXPECT_EQ(KivNetTime::getTimeOffset(reinterpret_cast<unsigned char*>(&reply[8])), 250);
    EXPECT_EQ(reply.substr(8 + KivNetTime::PacketSize), std::string("\x01\x08\0\0", 4));
  }
  EXPECT_FALSE(tester.disconnected());
}

TEST(OverlayLinkTest, IdleConnectionsAreCutAndMembersGetInAndSurviveGarbage) {
  // 40 connections stay idle at the root; a ping test, a child's link and a
  // member registered by hand in slot 2 get in beside them. That member
  // sends what a broken peer might (the overlay fuzzer sends the rest), a
  // Direct packet whose route leads back to it, and then one Error packet.
  // Nothing comes back: a packet never returns the way it came, so routing
  // tables that disagree cannot loop it.
  LoopbackRoom room({0, 0, 0});
  std::vector<std::unique_ptr<RawENetPeer>> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(std::make_unique<RawENetPeer>());
    ASSERT_TRUE(idle.back()->connect(room.port(0))) << i;
  }
  EXPECT_GE(room.engine(1).pingToPeer(room.peerId(0)), 0);
  ASSERT_EQ(room.engine(0).connect(3000), 0);
  ASSERT_EQ(room.engine(1).connect(3000), 0);
  RawENetPeer peer;
  ASSERT_TRUE(tessel_test::joinAs(room.engine(0), room.port(0), peer, 2));
  uint32_t code = 0x10F07;
  const std::string error = packetBytes(PeerPacket::Error, 2, 2, "\x01\x02\x03\x04", 4);
  const std::string garbage[] = {
      std::string(7, '\0'),                                              // shorter than a header
      error.substr(0, 10),                                               // shorter than announced
      error + std::string(1500, '\xFF'),                                 // longer than any packet
      packetBytes(PeerPacket::Error, 32, 2, "\x01\x02\x03\x04", 4),      // slots out of range
      packetBytes(PeerPacket::Error, 2, 32, "\x01\x02\x03\x04", 4),
      packetBytes(PeerPacket::Error, 2, 2, "\x01\x02\x03", 3),            // too short for a code
      packetBytes(PeerPacket::Direct, 2, 2, "x", 1),                     // back to its sender
      packetBytes(PeerPacket::Error, 2, 2, &code, 4),                    // the one meaningful packet, last
  };
  for (const auto& bytes : garbage) peer.send(bytes.data(), bytes.size());
  std::vector<TesselJob> errors = settledJobs(room, 0, TesselJob::JobError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].getPeerId(), room.peerId(2));
  EXPECT_EQ(errors[0].getError(), 0x10F07u);
  EXPECT_TRUE(peer.poll(200).empty());
  // The idle ones are cut within a few seconds; the child's link stays.
  for (auto& stranger : idle) EXPECT_TRUE(cutOff(*stranger));
  EXPECT_NE(room.engine(0).getClient().getContext(1)->getENetPeer(), nullptr);
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
    EXPECT_EQ(room.engine(0).removePeer(room.peerId(2)), 0);
    EXPECT_EQ(room.engine(0).addPeer(room.peerId(2), 2), 0);
    EXPECT_EQ(room.engine(0).setPeerProperty(room.peerId(2), LoopbackRoom::Loopback, room.port(2), false, true), 0);
    EXPECT_EQ(room.engine(0).setTopology(description.data(), int(description.size())), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // let traffic run between changes
  }
  done = true;
  traffic.join();
  // The leaf's link came through it all.
  ASSERT_EQ(room.engine(0).castPacket("end", 4, true, true), 0);
  std::vector<TesselJob> jobs;
  EXPECT_TRUE(tessel_test::waitFor([&] {
    room.drain(1, jobs);
    return std::any_of(jobs.begin(), jobs.end(), [](const TesselJob& job) {
      return std::string(job.getData(), job.getDataSize()) == std::string("end", 4);
    });
  }));
}

TEST(OverlayLinkTest, RemovedOrDroppedMemberIsReportedOnceAtEveryMember) {
  // 0 is the root with children 1 and 2; 3 hangs below 1. A member takes
  // out a child or its parent, or 3 leaves (its session ends, or its
  // engine goes): the link is dropped at both ends, each end reports the
  // other, and announces it to its side of the tree; nobody hears twice.
  enum Action { RemovePeer, EndSession, Deinit };
  const struct {
    Action action;
    int actor, gone;
    std::vector<int> reported;  // the slot each member hears is gone, from slot 0 on
  } cases[] = {
      {RemovePeer, 1, 3, {3, 3, 3, 1}},  // a parent takes its child out
      {RemovePeer, 1, 0, {1, 0, 1, 0}},  // a child takes its parent, the root, out
      {EndSession, 3, 3, {3, 3, 3}},
      {Deinit, 3, 3, {3, 3, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "action " << c.action << " of " << c.actor << " on " << c.gone);
    LoopbackRoom room({0, 0, 0, 1});
    ASSERT_TRUE(room.connect());
    if (c.action == RemovePeer) {
      ASSERT_EQ(room.engine(c.actor).removePeer(room.peerId(c.gone)), 0);
      EXPECT_EQ(room.engine(c.actor).removePeer(room.peerId(c.gone)), 0) << "removing twice changes nothing";
    }
    if (c.action == EndSession) room.engine(3).endSession();
    if (c.action == Deinit) room.engine(3).deinit();
    for (int slot = 0; slot < int(c.reported.size()); ++slot) {
      std::vector<TesselJob> jobs = settledJobs(room, slot, TesselJob::JobDisconnect);
      ASSERT_EQ(jobs.size(), 1u) << "at " << slot;
      EXPECT_EQ(jobs[0].getPeerId(), room.peerId(c.reported[size_t(slot)])) << "at " << slot;
    }
    if (c.action != EndSession) continue;
    // The ended session left no link, record, route or root, and the
    // service thread still answers.
    const auto& client = room.engine(3).getClient();
    for (int slot = 0; slot < 32; ++slot) {
      EXPECT_EQ(client.getContext(slot)->getENetPeer(), nullptr);
      EXPECT_EQ(+client.getContext(slot)->getPeerProperty().id, -1);
      EXPECT_EQ(client.getRoute(slot), -1);
    }
    EXPECT_EQ(client.getRootSlotId(), -1);
    RawENetPeer tester;
    ASSERT_TRUE(tester.connect(room.port(3), 1));
    expectPingTestAnswer(tester, 3);
  }
}

TEST(OverlayLinkTest, PacketSharedByLinksReachesThoseThatTakeIt) {
  // 1 is an inner node whose parent link is still connecting (its parent's
  // address is a port where nothing listens), so ENet refuses what is sent
  // on it; 2 and 3 are its children. The links of a fan-out share one ENet
  // packet, and a relay sends on the one it received: each member gets
  // every packet once, whichever links refuse it.
  LoopbackRoom room({0, 0, 1, 1});
  const int nowhere = tessel_test::freeUdpPort();
  ASSERT_EQ(room.engine(1).setPeerProperty(room.peerId(0), LoopbackRoom::Loopback, nowhere, false, true), 0);
  ASSERT_EQ(room.engine(1).connect(100), -1);
  for (int child : {2, 3}) ASSERT_EQ(room.engine(child).connect(2000), 0);
  const zintar::PeerClient& inner = room.engine(1).getClient();
  ASSERT_TRUE(tessel_test::waitFor([&] {
    return inner.getContext(2)->getENetPeer() != nullptr && inner.getContext(3)->getENetPeer() != nullptr;
  }));
  ENetPeer* parent = inner.getContext(0)->getENetPeer();
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
  auto arrived = [&](int slot, int waitMs) {
    std::vector<TesselJob> jobs;
    room.waitJobs(slot, TesselJob::JobMessage, 1, jobs, waitMs);
    return jobs;
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
      bool expected = std::count(c.receivers.begin(), c.receivers.end(), slot) > 0;
      std::vector<TesselJob> jobs = arrived(slot, expected ? 2000 : 50);
      ASSERT_EQ(jobs.size(), expected ? 1u : 0u) << text << " at " << slot;
      if (!expected) continue;
      EXPECT_EQ(jobs[0].getPeerId(), room.peerId(c.sender)) << text << " at " << slot;
      EXPECT_EQ(std::string(jobs[0].getData(), jobs[0].getDataSize()), text) << text << " at " << slot;
    }
  }
  for (int slot : {1, 2, 3}) EXPECT_TRUE(arrived(slot, 100).empty()) << "at " << slot;
}
