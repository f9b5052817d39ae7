// The room key: the handshake and the sealed packets of one connection, and
// rooms of real engines on 127.0.0.1 with a key, attacked by strangers that
// know every id and slot but not the key, and by someone on the path who
// replays and alters sealed datagrams.

#include <enet/enet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "tessel/overlay/room_key.h"
#include "tests/support/fake_root.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/test_support.h"

using tessel_test::LoopbackRoom;
using tessel_test::RawENetPeer;
using zintar::PeerPacket;
using zintar::RoomKey;
using zintar::TesselJob;

namespace {

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

std::string packetBytes(uint32_t type, uint32_t src, uint32_t dst, const std::string& payload) {
  PeerPacket packet = PeerPacket::control(type, false, src, dst, payload.data(), uint32_t(payload.size()));
  return tessel_test::wire(packet);
}

// Waits until peer is cut off.
bool cutOff(RawENetPeer& peer) {
  return tessel_test::waitFor([&] {
    peer.poll(5);
    return peer.disconnected();
  });
}

}  // namespace

TEST(RoomKeyTest, HandshakeNeedsTheKeyAndFreshNonces) {
  RoomKey opener, answerer;
  EXPECT_FALSE(shake(opener, answerer, Key, OtherKey));

  // Messages recorded from a good handshake, played to a fresh answerer:
  // its own nonce is new, so the recorded proof does not hold.
  Messages recorded;
  ASSERT_TRUE(shake(opener, answerer, Key, Key, &recorded));
  uint8_t hello[RoomKey::HandshakeSize], reply[RoomKey::HandshakeSize];
  size_t n = 0;
  const struct {
    const char* what;
    std::vector<std::string> messages;
  } refused[] = {
      {"a recorded handshake", {recorded.hello, recorded.proof}},
      {"its own Hello sent back", {}},
      {"a Proof before any Hello", {recorded.proof}},
      {"a Hello cut short", {recorded.hello.substr(0, RoomKey::HandshakeSize - 1)}},
      {"a packet of another type", {packetBytes(PeerPacket::Register, 0, 0, std::string(32, 'r'))}},
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
    const struct {
      const char* what;
      std::string sealed;
      const char* opens;
    } script[] = {
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
  for (uint32_t type : {PeerPacket::PingTest, PeerPacket::TimeSync, PeerPacket::Disconnect, PeerPacket::Data,
                        PeerPacket::Peek, PeerPacket::Direct, PeerPacket::Ping, PeerPacket::Pong, PeerPacket::Error})
    attacks.push_back({packetBytes(type, 0, 2, std::string(reinterpret_cast<char*>(&code), 4) + std::string(44, 'x'))});
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
    std::vector<TesselJob> jobs;
    ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobMessage, expected, jobs)) << slot;
    room.waitJobs(slot, TesselJob::JobMessage, expected + 1, jobs, 200);
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
