// The overlay's links and service thread between real engines on
// 127.0.0.1: who may register or speak on a link, idle connections,
// routing that never bounces, disconnect reports, error reports, hostile
// input, a packet shared by several links, the end of a session, and
// links that lose datagrams. The room key: the handshake and the sealed
// packets of one connection, and rooms with a key attacked by strangers
// that know every id and slot but not the key, and by someone on the path
// who replays and alters sealed datagrams.

#include <enet/enet.h>
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
#include "tessel/overlay/room_key.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tests/support/datagram_dropper.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::DatagramDropper;
using tessel_test::LoopbackRoom;
using tessel_test::RawENetPeer;
using zintar::PeerPacket;
using zintar::RoomKey;
using zintar::TesselJob;

namespace {

// The bytes of a packet as the overlay writes its own control traffic.
std::string packetBytes(uint32_t type, uint32_t srcSlot, uint32_t dstSlot, const void* payload, uint32_t size) {
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

// The jobs slot's engine holds once count of type have come and 200 ms
// more have passed for one more.
std::vector<TesselJob> settledJobs(LoopbackRoom& room, int slot, uint16_t type, size_t count = 1) {
  std::vector<TesselJob> jobs;
  if (room.waitJobs(slot, type, count, jobs)) room.waitJobs(slot, type, count + 1, jobs, 200);
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

const std::string Key(32, 'k');
const std::string OtherKey(32, 'o');

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The messages of a handshake, as each end sends them.
struct Messages {
  std::string hello, proof;
};

// Runs the handshake between two ends in memory, recording what each sent;
// flip is XORed into the cipher byte of the opener's Hello on its way.
// True when both are established.
bool shake(RoomKey& opener, RoomKey& answerer, const std::string& openerKey, const std::string& answererKey,
           Messages* fromOpener = nullptr, uint8_t flip = 0) {
  uint8_t helloO[RoomKey::HandshakeSize], helloA[RoomKey::HandshakeSize];
  uint8_t proofO[RoomKey::HandshakeSize], proofA[RoomKey::HandshakeSize];
  size_t n = 0;
  opener.begin(bytes(openerKey), RoomKey::Role::Opener, helloO);
  answerer.begin(bytes(answererKey), RoomKey::Role::Answerer, helloA);
  helloO[RoomKey::CiphersAt] ^= flip;
  bool waiting = opener.handshake(helloA, sizeof(helloA), proofO, n) == RoomKey::Step::Waiting &&
                 answerer.handshake(helloO, sizeof(helloO), proofA, n) == RoomKey::Step::Waiting;
  if (fromOpener != nullptr) *fromOpener = {std::string(reinterpret_cast<char*>(helloO), sizeof(helloO)),
                                            std::string(reinterpret_cast<char*>(proofO), sizeof(proofO))};
  bool openerDone = waiting && opener.handshake(proofA, sizeof(proofA), helloA, n) == RoomKey::Step::Established;
  return openerDone && answerer.handshake(proofO, sizeof(proofO), helloA, n) == RoomKey::Step::Established;
}

std::string seal(RoomKey& key, const std::string& plain) {
  std::string out(plain.size() + RoomKey::SealOverhead, '\0');
  out.resize(key.seal(plain.data(), plain.size(), reinterpret_cast<uint8_t*>(out.data())));
  return out;
}

// What open makes of sealed: the plain text, or "refused".
std::string open(RoomKey& key, const std::string& sealed) {
  uint8_t plain[RoomKey::MaxPlainSize];
  int n = key.open(bytes(sealed), sealed.size(), plain);
  return n < 0 ? "refused" : std::string(reinterpret_cast<char*>(plain), size_t(n));
}

std::string flipped(std::string s, size_t at) {
  s[at] = static_cast<char>(s[at] ^ 0x01);
  return s;
}

// Someone on the path into one engine's host: it finds the sealed packets
// of one size in the datagrams ENet receives and captures the first, puts
// the captured one in place of the next, or flips the last byte of the
// next. Installed as the host's intercept hook; armed from the test thread,
// which reads captured once the mode is back to Off.
struct OnPath {
  enum Mode { Off, Capture, Replay, Flip };
  std::atomic<Mode> mode{Off};
  size_t size = 0;
  std::string captured;

  void tamper(uint8_t* data) {
    if (mode == Capture) captured.assign(reinterpret_cast<char*>(data), size);
    if (mode == Replay) std::memcpy(data, captured.data(), size);
    if (mode == Flip) data[size - 1] ^= 0x80;
    mode = Off;
  }
};
OnPath onPath;

int onPathHook(ENetHost* host, ENetEvent* /*event*/) {
  uint8_t* data = host->receivedData;
  const size_t length = host->receivedDataLength;
  uint16_t peerWord;
  if (length < 2) return 0;
  std::memcpy(&peerWord, data, 2);
  peerWord = ENET_NET_TO_HOST_16(peerWord);
  if (peerWord & ENET_PROTOCOL_HEADER_FLAG_COMPRESSED) return 0;
  size_t offset = (peerWord & ENET_PROTOCOL_HEADER_FLAG_SENT_TIME) ? 4 : 2;
  while (offset + 4 <= length) {
    const uint8_t command = data[offset] & ENET_PROTOCOL_COMMAND_MASK;
    const size_t size = enet_protocol_command_size(command);
    if (size == 0 || offset + size > length) break;
    // Where a send command keeps the length of its data.
    size_t lengthAt = command == ENET_PROTOCOL_COMMAND_SEND_RELIABLE     ? 4
                      : command == ENET_PROTOCOL_COMMAND_SEND_UNRELIABLE ? 6
                                                                         : 0;
    uint16_t dataLength = 0;
    if (lengthAt != 0) std::memcpy(&dataLength, data + offset + lengthAt, 2);
    dataLength = ENET_NET_TO_HOST_16(dataLength);
    if (offset + size + dataLength > length) break;
    if (lengthAt != 0 && dataLength == onPath.size) onPath.tamper(data + offset + size);
    offset += size + dataLength;
  }
  return 0;
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

TEST(LossyLinkTest, EveryPacketArrivesOnceAndModeSevenKeepsOneOrder) {
  const struct { int mode, lossPercent; uint32_t seed; bool keyed; } cases[] = {{3, 10, 16, false}, {7, 0, 1, false}, {7, 10, 7, false}, {7, 10, 7, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.lossPercent << "% loss"
                                    << (c.keyed ? ", with a room key" : ""));
    DatagramDropper dropper(c.seed, c.lossPercent);  // declared first: the engines stop using it before it goes
    // Mode 3: 0 the root; 1 and 2 inner nodes with leaves 3, 4 and 5. Mode
    // 7, depth 3: 1 and 2 below 0; 3 and 4 below 1; 5, 6 below 3 and 7
    // below 4, with a frame store of 64 packets, far below the burst.
    const bool oneOrder = c.mode == 7;
    LoopbackRoom room(oneOrder ? std::vector<int32_t>{0, 0, 0, 1, 1, 3, 3, 4} : std::vector<int32_t>{0, 0, 0, 1, 1, 2},
                      c.mode, false, oneOrder ? 64 : 256);
    ASSERT_TRUE(!c.keyed || room.setRoomKey(std::string(32, 'k')));
    ASSERT_TRUE(room.connect());
    const int members = room.size();
    if (c.lossPercent > 0)
      for (int slot = 0; slot < members; ++slot) room.engine(slot).getClient().setIntercept(DatagramDropper::intercept);

    // Each member broadcasts perMember values through the stores (mode 7:
    // unreliable on purpose, it sends ordered broadcasts reliably) and as
    // many immediately, and sends as many direct packets to the member
    // three slots on, whose path crosses the root.
    const int32_t perMember = 40, immediateBase = 50000, directBase = 100000;
    std::vector<std::thread> casters;
    for (int32_t origin = 0; origin < members; ++origin)
      casters.emplace_back([&, origin] {
        for (int32_t round = origin * 1000; round < origin * 1000 + perMember; ++round) {
          int32_t values[3] = {round, immediateBase + round, directBase + round};
          auto& engine = room.engine(origin);
          EXPECT_EQ(engine.castPacket(reinterpret_cast<const char*>(&values[0]), 4, !oneOrder, false), 0);
          EXPECT_EQ(engine.castPacket(reinterpret_cast<const char*>(&values[1]), 4, true, true), 0);
          EXPECT_EQ(engine.sendPacket(room.peerId((origin + 3) % members), reinterpret_cast<const char*>(&values[2]),
                                      4, true), 0);
        }
      });
    for (auto& caster : casters) caster.join();

    std::vector<int32_t> everyCast;
    for (int32_t base : {0, immediateBase})
      for (int32_t origin = 0; origin < members; ++origin)
        for (int32_t round = 0; round < perMember; ++round) everyCast.push_back(base + origin * 1000 + round);
    std::vector<std::vector<TesselJob>> jobs(static_cast<size_t>(members));
    int pass = 0;
    auto arrived = [&](size_t atLeast) {
      return [&, atLeast] {
        bool all = true;
        bool pull = ++pass % 20 == 0;
        for (int slot = 0; slot < members; ++slot) {
          if (pull) room.engine(slot).peekPacket(true);
          room.drain(slot, jobs[size_t(slot)]);
          all = all && tessel_test::messageValues(jobs[size_t(slot)]).size() >= atLeast;
        }
        return all;
      };
    };
    const size_t total = everyCast.size() + perMember;
    ASSERT_TRUE(tessel_test::waitFor(arrived(total), std::chrono::milliseconds(60000)));
    tessel_test::waitFor(arrived(total + 1), std::chrono::milliseconds(100));  // nothing more: each came once
    std::vector<int32_t> rootOrder;
    for (int slot = 0; slot < members; ++slot) {
      std::vector<int32_t> casts, ordered, directs, sent;
      for (int32_t value : tessel_test::messageValues(jobs[size_t(slot)]))
        (value >= directBase ? directs : value >= immediateBase ? casts : ordered).push_back(value);
      if (slot == 0) rootOrder = ordered;
      if (oneOrder) {
        EXPECT_EQ(ordered, rootOrder) << "slot " << slot << " differs from the root";
      }
      casts.insert(casts.end(), ordered.begin(), ordered.end());
      std::sort(casts.begin(), casts.end());
      EXPECT_EQ(casts, everyCast) << "broadcasts at " << slot;
      int32_t sender = (slot + members - 3) % members;
      for (int32_t round = 0; round < perMember; ++round) sent.push_back(directBase + sender * 1000 + round);
      EXPECT_EQ(directs, sent) << "direct packets at " << slot;
    }
    // Each originator's broadcasts keep their order within the one order.
    if (oneOrder) {
      std::vector<int32_t> next(size_t(members), 0);
      for (int32_t value : rootOrder) EXPECT_EQ(value % 1000, next[size_t(value / 1000)]++);
    }
    EXPECT_EQ(room.engine(3).peekPacket(true), 0);
    EXPECT_EQ(dropper.dropped() > 0, c.lossPercent > 0);
  }
}

TEST(RoomKeyTest, HandshakeNeedsTheKeyAndFreshNonces) {
  RoomKey opener, answerer;
  EXPECT_FALSE(shake(opener, answerer, Key, OtherKey));

  // Messages recorded from a good handshake, played to a fresh answerer:
  // its own nonce is new, so the recorded proof does not hold.
  Messages recorded;
  ASSERT_TRUE(shake(opener, answerer, Key, Key, &recorded));
  uint8_t hello[RoomKey::HandshakeSize], reply[RoomKey::HandshakeSize];
  size_t n = 0;
  const struct { const char* what; std::vector<std::string> messages; } refused[] = {
      {"a recorded handshake", {recorded.hello, recorded.proof}},
      {"its own Hello sent back", {}},
      {"a Proof before any Hello", {recorded.proof}},
      {"a Hello cut short", {recorded.hello.substr(0, RoomKey::HandshakeSize - 1)}},
      {"a packet of another type", {packetBytes(PeerPacket::Register, 0, 0, std::string(32, 'r').data(), 32)}},
  };
  for (const auto& r : refused) {
    RoomKey fresh;
    fresh.begin(bytes(Key), RoomKey::Role::Answerer, hello);
    std::vector<std::string> messages = r.messages;
    if (messages.empty()) messages.emplace_back(reinterpret_cast<char*>(hello), sizeof(hello));
    RoomKey::Step step = RoomKey::Step::Waiting;
    for (const auto& m : messages)
      if (step == RoomKey::Step::Waiting) step = fresh.handshake(bytes(m), m.size(), reply, n);
    EXPECT_EQ(step, RoomKey::Step::Failed) << r.what;
    EXPECT_FALSE(fresh.established()) << r.what;
  }
}

// Both ends run AES-256-GCM when both Hellos say they can (and this CPU
// can), ChaCha20-Poly1305 when either cannot (a Hello with cipher byte 0 is
// also every Hello from before the byte); a cipher byte altered on the way
// fails the handshake.
TEST(RoomKeyTest, CipherIsAesWhenBothEndsCanAndItsChoiceCannotBeAltered) {
  const struct {
    const char* what;
    bool openerCannot, answererCannot;
    uint8_t flip;
    bool established, aes;
  } cases[] = {
      {"both can", false, false, 0, true, true},
      {"the opener cannot", true, false, 0, true, false},
      {"the answerer cannot", false, true, 0, true, false},
      {"the opener's AES bit cleared on the way", false, false, RoomKey::CanAes256Gcm, false, false},
      {"the opener's AES bit set on the way", true, false, RoomKey::CanAes256Gcm, false, false},
      {"an unknown bit set on the way", false, false, 0x80, false, false},
  };
  for (const auto& c : cases) {
    RoomKey opener, answerer;
    if (c.openerCannot) opener.refuseAes256Gcm();
    if (c.answererCannot) answerer.refuseAes256Gcm();
    Messages sent;
    ASSERT_EQ(shake(opener, answerer, Key, Key, &sent, c.flip), c.established) << c.what;
    if (!c.established) continue;
    const bool cpuCan = (sent.hello[RoomKey::CiphersAt] & RoomKey::CanAes256Gcm) != 0;
    const RoomKey::Cipher expected =
        c.aes && cpuCan ? RoomKey::Cipher::Aes256Gcm : RoomKey::Cipher::ChaCha20Poly1305;
    EXPECT_EQ(opener.cipher(), expected) << c.what;
    EXPECT_EQ(answerer.cipher(), expected) << c.what;
    // Sealed in place: the plain text at CounterSize in the sealed buffer.
    std::string inPlace(RoomKey::CounterSize, '\0');
    inPlace += "in place" + std::string(RoomKey::TagSize, '\0');
    uint8_t* buffer = reinterpret_cast<uint8_t*>(inPlace.data());
    ASSERT_EQ(opener.seal(buffer + RoomKey::CounterSize, 8, buffer), inPlace.size()) << c.what;
    EXPECT_EQ(open(answerer, inPlace), "in place") << c.what;
    EXPECT_EQ(open(opener, seal(answerer, "back")), "back") << c.what;
  }
}

TEST(RoomKeyTest, SealedPacketsOpenOnceIntactAndWithinTheWindow) {
  for (bool chacha : {false, true}) {
    SCOPED_TRACE(chacha ? "ChaCha20-Poly1305" : "AES-256-GCM where the CPU has it");
    RoomKey opener, answerer;
    if (chacha) answerer.refuseAes256Gcm();
    ASSERT_TRUE(shake(opener, answerer, Key, Key));
    std::vector<std::string> sent;
    for (int i = 0; i < 70; ++i) sent.push_back(seal(opener, "packet " + std::to_string(i)));
    const size_t last = sent[2].size() - 1;
    const struct { const char* what; std::string sealed; const char* opens; } script[] = {
        {"the first", sent[0], "packet 0"},
        {"the first again", sent[0], "refused"},
        {"a later one", sent[3], "packet 3"},
        {"an earlier one within the window", sent[1], "packet 1"},
        {"a counter altered", flipped(sent[2], 0), "refused"},
        {"the text altered", flipped(sent[2], 10), "refused"},
        {"the tag altered", flipped(sent[2], last), "refused"},
        {"cut short", sent[2].substr(0, last), "refused"},
        {"shorter than counter and tag", sent[2].substr(0, RoomKey::SealOverhead - 1), "refused"},
        {"the intact one after all that", sent[2], "packet 2"},
        {"the newest, far ahead", sent[68], "packet 68"},
        {"one that fell behind the window", sent[4], "refused"},
        {"one just within it", sent[5], "packet 5"},
    };
    for (const auto& s : script) EXPECT_EQ(open(answerer, s.sealed), s.opens) << s.what;
    // A packet sent back to the end that sealed it does not open there.
    EXPECT_EQ(open(opener, seal(opener, "echo")), "refused");
    EXPECT_EQ(open(answerer, seal(answerer, "echo")), "refused");
  }
}

// 0 is the root, 1 an inner node, 2 its leaf; everyone holds the key.
TEST(RoomKeyTest, StrangersWithoutTheKeyGetNothingInAndNoLinkOut) {
  LoopbackRoom room({0, 0, 1});
  ASSERT_TRUE(room.setRoomKey(Key));
  // On the path into the leaf: a one-to-one packet from the root is
  // captured; the next is replaced by it, the one after altered.
  const std::string text(100, 'p');
  onPath.size = PeerPacket::HeaderSize + text.size() + RoomKey::SealOverhead;
  room.engine(2).getClient().setIntercept(onPathHook);
  ASSERT_TRUE(room.connect());
  const zintar::PeerClient& inner = room.engine(1).getClient();
  ENetPeer* uplink = inner.getContext(0)->getENetPeer();
  ENetPeer* downlink = inner.getContext(2)->getENetPeer();
  const uint64_t rejectedBefore = room.engine(2).getRejectedPackets();
  for (auto mode : {OnPath::Capture, OnPath::Replay, OnPath::Flip}) {
    onPath.mode = mode;
    ASSERT_EQ(room.engine(0).sendPacket(room.peerId(2), text.data(), int(text.size()), false), 0);
    ASSERT_TRUE(tessel_test::waitFor([&] { return onPath.mode == OnPath::Off; })) << mode;
  }
  EXPECT_TRUE(tessel_test::waitFor([&] { return room.engine(2).getRejectedPackets() == rejectedBefore + 2; }));
  const std::string captured = onPath.captured;

  // Strangers at the inner node, each on a connection of its own: in
  // clear, the Registers that would take the child's or the parent's
  // place and every other packet type; the captured packet; a forged
  // handshake followed by a proof, the captured packet or a Register.
  uint32_t code = 0x10F07;
  std::vector<std::vector<std::string>> attacks = {
      {tessel_test::registerPacket(room.peerId(2), 2)},
      {tessel_test::registerPacket(room.peerId(0), 0)},
      {captured},
  };
  const std::string payload = std::string(reinterpret_cast<char*>(&code), 4) + std::string(44, 'x');
  for (uint32_t type : {PeerPacket::PingTest, PeerPacket::TimeSync, PeerPacket::Disconnect, PeerPacket::Data,
                        PeerPacket::Peek, PeerPacket::Direct, PeerPacket::Ping, PeerPacket::Pong, PeerPacket::Error})
    attacks.push_back({packetBytes(type, 0, 2, payload.data(), uint32_t(payload.size()))});
  uint8_t hello[RoomKey::HandshakeSize];
  RoomKey forger;
  forger.begin(bytes(OtherKey), RoomKey::Role::Opener, hello);
  const std::string forgedHello(reinterpret_cast<char*>(hello), sizeof(hello));
  for (const std::string& next : {std::string(RoomKey::HandshakeSize, '\0'), captured,
                                  tessel_test::registerPacket(room.peerId(2), 2)})
    attacks.push_back({forgedHello, next});
  for (const auto& attack : attacks) {
    RawENetPeer stranger;
    ASSERT_TRUE(stranger.connect(room.port(1)));
    for (const std::string& packet : attack) stranger.send(packet.data(), packet.size());
    EXPECT_TRUE(cutOff(stranger)) << attack.size() << " packets, the first " << attack[0].size() << " bytes";
    EXPECT_EQ(inner.getContext(0)->getENetPeer(), uplink);
    EXPECT_EQ(inner.getContext(2)->getENetPeer(), downlink);
  }
  EXPECT_GT(room.engine(1).getRejectedPackets(), 0u);

  // The room goes on: after the leaf's broadcast every member holds it
  // and nothing else, but the leaf the first one-to-one packet before it.
  ASSERT_EQ(room.engine(2).castPacket("end", 4, true, true), 0);
  for (int slot = 0; slot < 3; ++slot) {
    const size_t expected = slot == 2 ? 2 : 1;
    std::vector<TesselJob> jobs = settledJobs(room, slot, TesselJob::JobMessage, expected);
    ASSERT_EQ(jobs.size(), expected) << slot;
    EXPECT_EQ(std::string(jobs.back().getData()), "end") << slot;
    if (slot == 2) {
      EXPECT_EQ(std::string(jobs[0].getData(), jobs[0].getDataSize()), text);
    }
  }
}

TEST(RoomKeyTest, OnlyMembersWithTheKeyLinkTestOrSynchronise) {
  for (bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "clocks synchronised" : "clocks not synchronised");
    // 0 the root and 1 its child; 2 comes late, below the root.
    LoopbackRoom room({0, 0, -1}, 0, sync);
    ASSERT_TRUE(room.setRoomKey(Key));
    ASSERT_TRUE(room.connect());
    // Each ping test ends with a wait of twice the threshold for the last
    // events of its connection.
    for (int slot : {1, 2}) room.engine(slot).setPingThreshold(250);
    EXPECT_GE(room.engine(1).pingToPeer(room.peerId(0)), 0);

    ASSERT_EQ(room.engine(0).addPeer(room.peerId(2), 2), 0);
    std::vector<PacketDef::PeerProperty> records;
    for (int slot = 0; slot < 3; ++slot) records.push_back(tessel_test::memberRecord(slot, room.port(slot)));
    const std::string late = tessel_test::topologyDescription(256, 1478, sync, records, {0, 0, 0});
    zintar::Tessel& newcomer = room.engine(2);
    ASSERT_EQ(newcomer.setTopology(late.data(), int(late.size())), 0);
    // A key is 32 bytes, or none (null or empty).
    for (int size : {16, 33, -1}) EXPECT_EQ(newcomer.setRoomKey(bytes(Key), size), -1) << size;
    EXPECT_EQ(newcomer.setRoomKey(nullptr, 32), 0);
    EXPECT_EQ(newcomer.setRoomKey(bytes(Key), 0), 0);
    ASSERT_EQ(newcomer.setRoomKey(bytes(OtherKey), 32), 0);
    EXPECT_EQ(newcomer.pingToPeer(room.peerId(0)), -1);
    EXPECT_EQ(newcomer.connect(3000), -1);
    EXPECT_EQ(newcomer.getError(), sync ? 0x10F05u : 0x10301u);
    EXPECT_GT(newcomer.getRejectedPackets(), 0u);

    ASSERT_EQ(newcomer.setRoomKey(bytes(Key), 32), 0);
    EXPECT_GE(newcomer.pingToPeer(room.peerId(0)), 0);
    ASSERT_EQ(newcomer.connect(5000), 0);
    const zintar::PeerContext* link = room.engine(0).getClient().getContext(2);
    ASSERT_TRUE(tessel_test::waitFor([&] { return link->getENetPeer() != nullptr; }));
    for (int origin : {2, 1}) ASSERT_EQ(room.engine(origin).castPacket("hi", 3, true, true), 0);
    for (int slot = 0; slot < 3; ++slot) {
      std::vector<TesselJob> jobs;
      EXPECT_TRUE(room.waitJobs(slot, TesselJob::JobMessage, 2, jobs)) << slot;
    }
  }
}
