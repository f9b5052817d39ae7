// PeerClient: the room key on the connections of the host. Every
// connection begins, when the room has a key, with the key's handshake
// (RoomKey); what arrives on it before the handshake is through is
// handshake or the end of the connection, and after it every packet is
// opened before the receive path sees it. On the way out the service
// thread seals each packet as it hands it to ENet, so that the counters
// of a connection go out in the order the packets do.

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"

namespace zintar {

int PeerClient::setRoomKey(const unsigned char* key, int size) {
  const bool clearing = key == nullptr || size == 0;
  if (!clearing && (size != RoomKey::KeySize || !RoomKey::available())) return -1;
  KivAutoLock guard(keyLock);
  const bool same = clearing ? !roomSecret.set
                             : roomSecret.set && std::memcmp(roomSecret.bytes, key, sizeof(roomSecret.bytes)) == 0;
  if (same) return 0;
  roomSecret.set = !clearing;
  if (clearing)
    RoomKey::wipe(roomSecret.bytes, sizeof(roomSecret.bytes));
  else
    std::memcpy(roomSecret.bytes, key, sizeof(roomSecret.bytes));
  keyGeneration.fetch_add(1, std::memory_order_release);
  return 0;
}

bool PeerClient::getRoomKey(RoomKey::Secret& secret) const {
  KivAutoLock guard(keyLock);
  if (!roomSecret.set) return false;
  secret = roomSecret;
  return true;
}

int32_t PeerClient::peerIndex(const ENetPeer* peer) const {
  if (host == nullptr || peer == nullptr) return -1;
  auto at = reinterpret_cast<uintptr_t>(peer);
  auto first = reinterpret_cast<uintptr_t>(host->peers);
  if (at < first || at >= first + host->peerCount * sizeof(ENetPeer)) return -1;
  return static_cast<int32_t>((at - first) / sizeof(ENetPeer));
}

PeerClient::PeerKey* PeerClient::keyOf(const ENetPeer* peer) {
  int32_t index = peerIndex(peer);
  return index >= 0 && size_t(index) < peerKeyCount ? &peerKeys[size_t(index)] : nullptr;
}

bool PeerClient::beginKey(ENetPeer* peer, bool opener) {
  PeerKey* state = keyOf(peer);
  if (state == nullptr) return false;
  RoomKey::Secret secret;
  {
    KivAutoLock guard(keyLock);
    secret = roomSecret;
    state->generation = keyGeneration.load(std::memory_order_relaxed);
  }
  uint8_t hello[RoomKey::HandshakeSize];
  if (!secret.set ||
      !state->key.begin(secret.bytes, opener ? RoomKey::Role::Opener : RoomKey::Role::Answerer, hello)) {
    state->key.clear();
    return false;
  }
  // The handshake goes on channel 0, reliably, like everything after it:
  // ENet keeps one channel's packets in order, so the other end has this
  // end's proof before its first sealed packet.
  ENetPacket* packet = enet_packet_create(hello, sizeof(hello), ENET_PACKET_FLAG_RELIABLE);
  if (packet != nullptr && enet_peer_send(peer, 0, packet) != 0) enet_packet_destroy(packet);
  return true;
}

void PeerClient::receiveSealed(ENetEvent& event) {
  const uint8_t* bytes = event.packet->data;
  const size_t length = event.packet->dataLength;
  PeerKey* state = keyOf(event.peer);
  if (state == nullptr) {
    receive(&event, bytes, length);
    return;
  }
  // A connection made before the key changed speaks with the old key, or
  // in clear: it is no longer the room's.
  if (state->generation != keyGeneration.load(std::memory_order_acquire)) {
    refuseConnection(event.peer);
    return;
  }
  RoomKey& key = state->key;
  if (!key.keyed()) {
    receive(&event, bytes, length);
    return;
  }
  if (key.established()) {
    uint8_t plain[RoomKey::MaxPlainSize];
    int opened = key.open(bytes, length, plain);
    if (opened < 0) {
      rejectedPackets.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    receive(&event, plain, size_t(opened));
    return;
  }
  uint8_t reply[RoomKey::HandshakeSize];
  size_t replyLength = 0;
  RoomKey::Step step = key.handshake(bytes, length, reply, replyLength);
  if (step == RoomKey::Step::Failed) {
    refuseConnection(event.peer);
    return;
  }
  if (replyLength > 0) {
    ENetPacket* packet = enet_packet_create(reply, replyLength, ENET_PACKET_FLAG_RELIABLE);
    if (packet != nullptr && enet_peer_send(event.peer, 0, packet) != 0) enet_packet_destroy(packet);
  }
  // Only a link this side opened has a link before it registers.
  if (step == RoomKey::Step::Established && linkOf(event.peer) != nullptr) sendRegistration(event.peer);
}

namespace {
// The userData of a packet from sealablePacket: its buffer has SealOverhead
// bytes beyond dataLength.
char sealRoom;

// A copy of packet sealed with key; null while the handshake runs, after it
// failed, or when ENet cannot make the copy: nothing leaves in clear.
ENetPacket* sealedCopy(RoomKey& key, const ENetPacket* packet) {
  if (!key.established()) return nullptr;
  ENetPacket* sealed = enet_packet_create(nullptr, packet->dataLength + RoomKey::SealOverhead, packet->flags);
  if (sealed != nullptr && key.seal(packet->data, packet->dataLength, sealed->data) == 0) {
    enet_packet_destroy(sealed);
    return nullptr;
  }
  return sealed;
}
}  // namespace

ENetPacket* PeerClient::sealablePacket(const void* bytes, size_t length, uint32_t flags) {
  ENetPacket* packet = enet_packet_create(nullptr, length + RoomKey::SealOverhead, flags);
  if (packet == nullptr) return nullptr;
  std::memcpy(packet->data, bytes, length);
  // Shrinking only sets dataLength; the buffer stays.
  enet_packet_resize(packet, length);
  packet->userData = &sealRoom;
  return packet;
}

void PeerClient::sendOn(ENetPeer* peer, uint8_t channel, ENetPacket* packet) {
  PeerKey* state = keyOf(peer);
  if (state != nullptr && state->key.keyed() && packet->userData == &sealRoom &&
      packet->dataLength <= size_t(RoomKey::MaxPlainSize)) {
    // Sealed in its own buffer: no second packet, no allocation.
    const size_t plainLength = packet->dataLength;
    size_t length = 0;
    if (state->key.established()) {
      std::memmove(packet->data + RoomKey::CounterSize, packet->data, plainLength);
      length = state->key.seal(packet->data + RoomKey::CounterSize, plainLength, packet->data);
    }
    if (length == 0) {
      // Nothing leaves in clear: the handshake is still running, or failed.
      enet_packet_destroy(packet);
      return;
    }
    packet->dataLength = length;
    packet->userData = nullptr;
    channel = 0;
  } else if (state != nullptr && state->key.keyed()) {
    ENetPacket* sealed = sealedCopy(state->key, packet);
    enet_packet_destroy(packet);
    if (sealed == nullptr) return;
    packet = sealed;
    channel = 0;
  }
  // ENet refuses (and does not take) a packet for a peer that is not
  // connected; such a packet is dropped here.
  if (enet_peer_send(peer, channel, packet) != 0) enet_packet_destroy(packet);
}

void PeerClient::sendShared(ENetPeer* peer, uint8_t channel, ENetPacket* packet) {
  PeerKey* state = keyOf(peer);
  if (state == nullptr || !state->key.keyed()) {
    enet_peer_send(peer, channel, packet);
    return;
  }
  // Every keyed link seals with its own key and counter: a copy of its own.
  ENetPacket* sealed = sealedCopy(state->key, packet);
  if (sealed != nullptr && enet_peer_send(peer, 0, sealed) != 0) enet_packet_destroy(sealed);
}

void PeerClient::refuseConnection(ENetPeer* peer) {
  rejectedPackets.fetch_add(1, std::memory_order_relaxed);
  PeerKey* state = keyOf(peer);
  // A connection in clear, or through its handshake, was up; one still (or
  // no longer) in its handshake never was.
  const bool wasUp = state == nullptr || !state->key.keyed() || state->key.established();
  if (state != nullptr) state->key.fail();
  PeerContext* link = linkOf(peer);
  if (link == nullptr) {
    peer->data = nullptr;
    enet_peer_disconnect_now(peer, 0);
    return;
  }
  const PacketDef::PeerProperty lost = link->getPeerProperty();
  link->close();
  if (wasUp) {
    // A link that was up is lost, as if ENet had dropped it.
    sendDisconnect(lost);
  } else if (static_cast<int32_t>(link - contexts) == parentSlotId.load(std::memory_order_relaxed)) {
    // The parent does not hold the room's key: connectPeers need not wait.
    parentRefused.store(true, std::memory_order_relaxed);
    goEvent.set();
  }
}

}  // namespace zintar
