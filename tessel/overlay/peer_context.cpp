#include "tessel/overlay/peer_context.h"

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"

namespace zintar {

PeerContext::PeerContext()
    : owner(nullptr),
      host(nullptr),
      peer(nullptr),
      next(-1),
      isServer_(false),
      hasChild_(false),
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
}

int32_t PeerContext::getPeerId() const {
  KivAutoLock guard(propertyLock);
  return property.id;
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
  peer.store(connection, std::memory_order_release);
  return 0;
}

int PeerContext::accept(ENetPeer* incoming) {
  isServer_.store(false, std::memory_order_relaxed);
  incoming->data = this;
  peer.store(incoming, std::memory_order_release);
  return 0;
}

void PeerContext::close() {
  ENetPeer* connection = peer.exchange(nullptr, std::memory_order_acq_rel);
  if (connection == nullptr) return;
  if (owner != nullptr) owner->resetPeer(connection);
}

void PeerContext::reinit() {
  {
    KivAutoLock guard(propertyLock);
    property.clear();
  }
  close();
  next.store(-1, std::memory_order_relaxed);
  isServer_.store(false, std::memory_order_relaxed);
  hasChild_.store(false, std::memory_order_relaxed);
  data[0] = 0;
  dataSize = 0;
  dataFrameId = 0;
}

void PeerContext::sendPacket(const PeerPacket* packet, bool reliable, unsigned int length) {
  ENetPeer* connection = getENetPeer();
  if (connection == nullptr || packet == nullptr || owner == nullptr) return;
  size_t bytes = length > 0 ? length : size_t(packet->size(true));
  ENetPacket* enetPacket = enet_packet_create(packet, bytes, reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (enetPacket == nullptr) return;
  owner->pushENetPacket(connection, static_cast<unsigned char>(getSlot()), enetPacket);
}

void PeerContext::setThrottle() {
  ENetPeer* connection = getENetPeer();
  if (connection != nullptr) enet_peer_throttle_configure(connection, 5000, 3, 0);
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
