#include "tessel/overlay/peer_context.h"

#include <enet/enet.h>

#include <algorithm>
#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/overlay/peer_fanout.h"

namespace zintar {

PeerContext::PeerContext()
    : owner(nullptr),
      peerId(-1),
      host(nullptr),
      peer(nullptr),
      channel(0),
      next(-1),
      isServer_(false),
      hasChild_(false),
      pullEnd(0),
      pullResentAt(0),
      pullAnswered_(false),
      pullReliable(false),
      dataSize(0),
      dataFrameId(0) {
  data[0] = 0;
}

PeerContext::~PeerContext() = default;

int PeerContext::init(PeerClient* client, ENetHost* enetHost) {
  owner = client;
  host = enetHost;
  return 0;
}

PacketDef::PeerProperty PeerContext::getPeerProperty() const {
  KivAutoLock guard(propertyLock);
  return property;
}

void PeerContext::setPeerProperty(const PacketDef::PeerProperty& record) {
  KivAutoLock guard(propertyLock);
  property = record;
  peerId.store(record.id, std::memory_order_relaxed);
}

uint32_t PeerContext::getSlot() const {
  KivAutoLock guard(propertyLock);
  return property.roomId.slot();
}

int PeerContext::connect() {
  if (getENetPeer() != nullptr || host == nullptr) return -1;
  const PacketDef::PeerProperty record = getPeerProperty();
  ENetAddress address;
  // The record's ip is a host-order number; ENet wants network order.
  address.host = ENET_HOST_TO_NET_32(record.ip);
  address.port = record.port;
  ENetPeer* connection = enet_host_connect(host, &address, PeerClient::ChannelCount, 0);
  if (connection == nullptr) return -1;
  connection->data = this;
  isServer_.store(true, std::memory_order_relaxed);
  channel.store(static_cast<uint8_t>(record.roomId.slot()), std::memory_order_relaxed);
  peer.store(connection, std::memory_order_release);
  return 0;
}

int PeerContext::accept(ENetPeer* incoming) {
  isServer_.store(false, std::memory_order_relaxed);
  pullAnswered_ = false;
  incoming->data = this;
  channel.store(static_cast<uint8_t>(getSlot()), std::memory_order_relaxed);
  peer.store(incoming, std::memory_order_release);
  return 0;
}

bool PeerContext::adopt(ENetPeer* incoming, int32_t claimed, ENetPeer** replaced) {
  KivAutoLock guard(propertyLock);
  *replaced = nullptr;
  if (property.id == -1 || property.id != claimed) return false;
  ENetPeer* previous = getENetPeer();
  if (previous != nullptr && previous != incoming) {
    // Ids are no secret: only the member itself, coming back from the
    // address it linked from, may take the place of a live link.
    bool live = previous->state != ENET_PEER_STATE_DISCONNECTED && previous->state != ENET_PEER_STATE_ZOMBIE;
    if (live && previous->address.host != incoming->address.host) return false;
    *replaced = previous;
  }
  accept(incoming);
  return true;
}

void PeerContext::close() {
  ENetPeer* connection = peer.exchange(nullptr, std::memory_order_acq_rel);
  if (connection == nullptr) return;
  if (owner != nullptr) owner->resetPeer(connection);
}

bool PeerContext::reinit(PacketDef::PeerProperty* lost) {
  ENetPeer* connection;
  {
    // The record and the connection go together, so that a Register
    // being adopted on the service thread sees both or neither. The reset
    // is queued after the lock is released: the send queue's drain takes
    // this lock while it holds its own.
    KivAutoLock guard(propertyLock);
    if (lost != nullptr) *lost = property;
    property.clear();
    peerId.store(property.id, std::memory_order_relaxed);
    connection = peer.exchange(nullptr, std::memory_order_acq_rel);
  }
  if (connection != nullptr && owner != nullptr) owner->resetPeer(connection);
  next.store(-1, std::memory_order_relaxed);
  isServer_.store(false, std::memory_order_relaxed);
  hasChild_.store(false, std::memory_order_relaxed);
  // The pull pacing belongs to the service thread; accept starts it anew
  // for the next connection.
  data[0] = 0;
  dataSize = 0;
  dataFrameId = 0;
  return connection != nullptr;
}

void PeerContext::sendPacket(const PeerPacket* packet, bool reliable, unsigned int length, PeerFanout* fanout) {
  ENetPeer* connection = getENetPeer();
  if (connection == nullptr || packet == nullptr || owner == nullptr) return;
  size_t bytes = length > 0 ? length : size_t(packet->size(true));
  uint32_t flags = reliable ? ENET_PACKET_FLAG_RELIABLE : 0;
  if (fanout != nullptr) {
    // The link sends the packet's bytes as they are, the same as every
    // other link of the fan-out: one ENet packet serves them all.
    fanout->add(connection, getChannel(), fanout->share(packet, bytes, flags), true);
    return;
  }
  ENetPacket* enetPacket = PeerClient::sealablePacket(packet, bytes, flags);
  if (enetPacket == nullptr) return;
  owner->pushENetPacket(connection, getChannel(), enetPacket);
}

void PeerContext::setThrottle() {
  ENetPeer* connection = getENetPeer();
  // Only a connected peer has a remote end to tell.
  if (connection != nullptr && connection->state == ENET_PEER_STATE_CONNECTED)
    enet_peer_throttle_configure(connection, 5000, 3, 0);
}

unsigned short PeerContext::getPing() const {
  ENetPeer* connection = getENetPeer();
  if (connection == nullptr) return 0;
  return static_cast<unsigned short>(connection->roundTripTime / 2);
}

void PeerContext::setData(const char* block, int length, uint32_t frameId) {
  if (static_cast<unsigned>(length) > static_cast<unsigned>(MaxDataSize) || frameId <= dataFrameId) return;
  if (length > 0) std::memcpy(data, block, size_t(length));
  dataSize = length;
  dataFrameId = frameId;
}

}  // namespace zintar
