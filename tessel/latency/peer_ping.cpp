// Tessel: the ping test to one peer of the room.
//
// The test runs on the calling thread over an ENet host of its own (one
// peer, one channel), independent of the overlay's host: it connects to
// the peer's overlay port, sends at most three unreliable PingTest packets
// on channel 0, and takes the first thing that comes back. The peer's
// service thread answers with a PingTestReply that echoes the tick count
// and names its room; only a peer of the same room counts. Every wait is
// twice the ping threshold, and the connection is closed gracefully so
// that the peer does not keep a dead ENet peer until its time-out.

#include <enet/enet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tessel/engine/tessel.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/toolkit/kiv_clock.h"

namespace zintar {

namespace {

// The most probes one test sends.
constexpr int MaxProbes = 3;
// The room's major and minor in a room word; the top byte is the slot.
constexpr uint32_t RoomMask = 0x00FFFFFFu;

// Twice the threshold in milliseconds; a negative threshold (other than
// the -1 that switches the test off) waits not at all.
enet_uint32 waitFor(int threshold) {
  int64_t wait = 2 * static_cast<int64_t>(threshold);
  return static_cast<enet_uint32>(std::clamp<int64_t>(wait, 0, INT32_MAX));
}

// True when the received bytes hold a whole packet whose second payload
// word names the room of ownRoom. The reply's type and echoed tick count
// are not examined.
bool sameRoom(const ENetPacket* received, uint32_t ownRoom) {
  PeerPacket reply;
  if (PeerPacket::fromWire(received->data, received->dataLength, reply) < 0 || reply.header().dataSize() < 8)
    return false;
  uint32_t room;
  std::memcpy(&room, reply.data() + 4, sizeof(room));
  return (room & RoomMask) == (ownRoom & RoomMask);
}

// One test against ip (host order) and port. The half round trip of the
// first answered probe when the answer comes from ownRoom, else -1. The
// host is destroyed on every way out.
int32_t runPingTest(uint32_t ip, uint16_t port, uint32_t ownRoom, enet_uint32 wait) {
  ENetHost* host = enet_host_create(nullptr, 1, 1, 0, 0);
  if (host == nullptr) return -1;
  ENetAddress address;
  address.host = ENET_HOST_TO_NET_32(ip);
  address.port = port;
  ENetPeer* peer = enet_host_connect(host, &address, 1, 0);
  if (peer == nullptr) {
    enet_host_destroy(host);
    return -1;
  }

  ENetEvent event{};
  if (enet_host_service(host, &event, wait) <= 0 || event.type != ENET_EVENT_TYPE_CONNECT) {
    enet_peer_disconnect_now(peer, 0);
    enet_host_destroy(host);
    return -1;
  }

  int32_t result = -1;
  for (int probe = 0; probe < MaxProbes; ++probe) {
    const uint32_t sent = KivClock::getTickCount();
    PeerPacket request = PeerPacket::pingTest(sent);
    ENetPacket* packet = enet_packet_create(&request, size_t(request.size(true)), 0);
    if (packet == nullptr) continue;
    if (enet_peer_send(peer, 0, packet) != 0) enet_packet_destroy(packet);
    if (enet_host_service(host, &event, wait) <= 0 || event.type != ENET_EVENT_TYPE_RECEIVE) continue;
    const uint32_t now = KivClock::getTickCount();
    if (sameRoom(event.packet, ownRoom)) result = static_cast<int32_t>(now - sent) / 2;
    enet_packet_destroy(event.packet);
    // The first answer ends the probing, from this room or another.
    break;
  }

  enet_peer_disconnect(peer, 0);
  bool disconnected = false;
  while (enet_host_service(host, &event, wait) > 0) {
    if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
      disconnected = true;
    } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
      enet_packet_destroy(event.packet);
    }
  }
  if (!disconnected) enet_peer_reset(peer);
  enet_host_destroy(host);
  return result;
}

}  // namespace

int Tessel::pingToPeer(int32_t peerId) {
  int32_t slot = client.getSlotId(peerId);
  if (slot < 0 || slot >= MaxSlots) return -1;
  const PacketDef::PeerProperty& peer = peerProperty[slot];
  const int threshold = pingThreshold.load(std::memory_order_relaxed);
  int32_t result = -1;
  if (peer.listen != 0 && threshold != -1)
    result = runPingTest(peer.ip, peer.port, myProperty.roomId.word, waitFor(threshold));
  peerPing[slot] = result;
  return result;
}

}  // namespace zintar
