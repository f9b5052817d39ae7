// Tessel: the ping test to one peer of the room.
//
// The test runs on the calling thread over an ENet host of its own (one
// peer, one channel), independent of the overlay's host: it connects to
// the peer's overlay port, sends at most three unreliable PingTest packets
// on channel 0, and takes the first thing that comes back. The peer's
// service thread answers with a PingTestReply that echoes the tick count
// and names its room; only a peer of the same room counts (and, in a room
// with a key, only one that holds the key gets that far). Every wait is
// twice the ping threshold, and the connection is closed gracefully so
// that the peer does not keep a dead ENet peer until its time-out.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tessel/engine/tessel.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/overlay/short_exchange.h"
#include "tessel/toolkit/kiv_clock.h"

namespace zintar {

namespace {

// The most probes one test sends.
constexpr int MaxProbes = 3;

// Twice the threshold in milliseconds; a negative threshold (other than
// the -1 that switches the test off) waits not at all.
uint32_t waitFor(int threshold) {
  int64_t wait = 2 * static_cast<int64_t>(threshold);
  return static_cast<uint32_t>(std::clamp<int64_t>(wait, 0, INT32_MAX));
}

// One test over exchange against ip (host order) and port, with the room's
// key when key is given: the half round trip of the first answered probe
// when the answer names ownRoom in its second payload word, else -1. The
// answer's type and echoed tick count are not examined.
int32_t runPingTest(ShortExchange& exchange, uint32_t ip, uint16_t port, PacketDef::RoomId ownRoom, uint32_t wait,
                    const unsigned char* key) {
  if (exchange.open(ip, port, wait, key) != ShortExchange::Opened::Connected) return -1;
  for (int probe = 0; probe < MaxProbes; ++probe) {
    const uint32_t sent = KivClock::getTickCount();
    PeerPacket reply;
    ShortExchange::Answer answer = exchange.ask(PeerPacket::pingTest(sent), reply);
    if (answer == ShortExchange::Answer::None || answer == ShortExchange::Answer::NotSent) continue;
    const uint32_t now = KivClock::getTickCount();
    PacketDef::RoomId room;
    // The first answer ends the probing, from this room or another.
    if (answer != ShortExchange::Answer::Whole || reply.header().dataSize() < 8) return -1;
    std::memcpy(&room.word, reply.data() + 4, sizeof(room.word));
    return room.sameRoom(ownRoom) ? static_cast<int32_t>(now - sent) / 2 : -1;
  }
  return -1;
}

}  // namespace

int Tessel::pingToPeer(int32_t peerId) {
  int32_t slot = client.getSlotId(peerId);
  if (slot < 0 || slot >= MaxSlots) return -1;
  const PacketDef::PeerProperty& peer = peerProperty[slot];
  const int threshold = pingThreshold.load(std::memory_order_relaxed);
  int32_t result = -1;
  if (peer.listen != 0 && threshold != -1) {
    RoomKey::Secret secret;
    const bool keyed = client.getRoomKey(secret);
    ShortExchange exchange;
    result = runPingTest(exchange, peer.ip, peer.port, copyPeerProperty().roomId, waitFor(threshold),
                         keyed ? secret.bytes : nullptr);
    exchange.close();
    client.countRejected(exchange.getRejected());
  }
  peerPing[slot] = result;
  return result;
}

}  // namespace zintar
