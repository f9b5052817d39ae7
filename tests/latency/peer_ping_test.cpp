// The ping test to one peer, against real engines and scripted ENet peers
// on 127.0.0.1.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tessel/engine/tessel.h"
#include "tessel/engine/tessel_api.h"
#include "tessel/overlay/peer_packet.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/raw_udp_socket.h"
#include "tests/support/test_support.h"

using zintar::PeerPacket;
using zintar::Tessel;
using zintar::TesselApi;

namespace {

constexpr uint32_t Loopback = 0x7F000001;
constexpr int32_t TesterId = 100;
constexpr int32_t PeerId = 200;
constexpr unsigned char PeerSlot = 5;

// A tester (engine or facade) in room (1, 2) that knows itself in slot 0
// and PeerId in PeerSlot at 127.0.0.1:port.
template <typename Engine>
bool makeTester(Engine& tester, int port, bool listen) {
  if (tester.init(TesterId, 0, false, 0, false, false) != 0) return false;
  tester.setRoomId(1, 2);
  return tester.addPeer(TesterId, 0) == 0 && tester.addPeer(PeerId, PeerSlot) == 0 &&
         tester.setPeerProperty(PeerId, Loopback, port, false, listen) == 0;
}

// A PingTestReply to request naming room (major, minor), with or without a
// frame record.
std::string pingTestReply(const std::string& request, uint32_t major, uint32_t minor, bool frame) {
  PeerPacket reply(PeerPacket::PingTestReply, frame);
  reply.header().setDataSize(8);
  reply.setFrameId(0);
  reply.setPing(0);
  std::memcpy(reply.data(), request.data() + PeerPacket::HeaderSize, 4);
  PacketDef::RoomId room;
  room.setMajor(major);
  room.setMinor(minor);
  std::memcpy(reply.data() + 4, &room.word, 4);
  return std::string(reinterpret_cast<const char*>(&reply), size_t(reply.size(true)));
}

}  // namespace

TEST(PeerPingTest, FirstAnswerEndsTheProbesOnlyTheOwnRoomCountsAndThePingIsHalfTheRoundTrip) {
  using Reply = std::string (*)(const std::string&);
  Reply sameRoom = [](const std::string& r) { return pingTestReply(r, 1, 2, false); };
  // answer: what the scripted peer answers to a probe; empty: nothing.
  struct Case { const char* what; Reply answer; bool listen; int threshold, ping; size_t probes; } cases[] = {
      {"same room", sameRoom, true, 100, 20, 1},
      {"same room, frame record", [](const std::string& r) { return pingTestReply(r, 1, 2, true); }, true, 100, 20, 1},
      {"another room", [](const std::string& r) { return pingTestReply(r, 1, 3, false); }, true, 100, -1, 1},
      {"a broken reply", [](const std::string&) { return std::string("\x13\x00\x00", 3); }, true, 100, -1, 1},
      {"silence", [](const std::string&) { return std::string(); }, true, 100, -1, 3},
      {"peer does not listen", sameRoom, false, 100, -1, 0},
      {"ping test switched off", sameRoom, true, -1, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tessel_test::FakeClock clock;
    tessel_test::FakeRoot peer([&](const tessel_test::FakeRoot::Received& packet) {
      clock.advance(40);  // the round trip
      return tessel_test::FakeRoot::Answer{c.answer(packet.bytes), false};
    });
    ASSERT_TRUE(peer.ok());
    Tessel tester;
    ASSERT_TRUE(makeTester(tester, peer.port(), c.listen));
    tester.setPingThreshold(c.threshold);
    EXPECT_EQ(tester.pingToPeer(PeerId), c.ping);
    EXPECT_EQ(tester.getPeerPing(PeerSlot), c.ping);
    EXPECT_EQ(peer.count(PeerPacket::PingTest), c.probes);
    // Every probe is the 12-byte request with the tester's tick count.
    for (const auto& probe : peer.received()) {
      EXPECT_EQ(probe.bytes.size(), 12u);
      EXPECT_EQ(probe.bytes.substr(0, 8), std::string("\x12\x00\x00\x00\x00\x00\x80\x00", 8));
      EXPECT_FALSE(probe.reliable);
    }
  }
}

TEST(PeerPingTest, ListeningEngineAnswersSilentPortAndUnknownIdGiveNoResult) {
  const int peerPort = tessel_test::freeUdpPort();
  Tessel peer;
  ASSERT_EQ(peer.init(PeerId, peerPort, true, 0, false, false), 0);
  peer.setRoomId(1, 2);
  TesselApi api;
  ASSERT_TRUE(makeTester(api, peerPort, true));
  api.setPingThreshold(500);
  int ping = api.pingToPeer(PeerId);
  EXPECT_GE(ping, 0);
  EXPECT_LT(ping, 1000);
  EXPECT_EQ(TesselApi().pingToPeer(PeerId), -1);

  // The same peer moved to a port that is bound but never answers.
  tessel_test::RawUdpSocket watch;
  ASSERT_TRUE(watch.ok());
  ASSERT_EQ(api.setPeerProperty(PeerId, Loopback, watch.port(), false, true), 0);
  api.setPingThreshold(20);
  EXPECT_EQ(api.pingToPeer(PeerId), -1);
  EXPECT_EQ(api.getEngine()->getPeerPing(PeerSlot), -1);
  // Loopback delivery is done when the send returns: the attempt is waiting.
  EXPECT_TRUE(watch.pending());
  std::string drained;
  while (watch.receive(drained, 0)) {
  }
  EXPECT_EQ(api.pingToPeer(999), -1);
  EXPECT_FALSE(watch.pending());
}
