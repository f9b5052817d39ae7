// Tessel: the room's peer table, the peer ping list and the topology
// description.

#include <cstring>

#include "tessel/engine/tessel.h"

namespace zintar {

namespace {

constexpr auto inRange = PacketDef::RoomId::isSlot;

template <typename T>
void writeValue(char* at, const T& value) {
  std::memcpy(at, &value, sizeof(value));
}

template <typename T>
T readValue(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

}  // namespace

int Tessel::checkBufferSize(int size, const char* start, const char* end) {
  return static_cast<int64_t>(size) < static_cast<int64_t>(end - start) ? -1 : 0;
}

void Tessel::clearPeers() {
  for (int slot = 0; slot < MaxSlots; ++slot) {
    client.clearPeerProperty(slot);
    peerProperty[slot].clear();
    parentTable[slot] = -1;
    peerPing[slot] = -1;
    topologyPing[slot] = -1;
  }
  numPeers.store(0, std::memory_order_relaxed);
  numTopologyRecords = 0;
  syncTimeOn.store(false, std::memory_order_relaxed);
  client.setSyncTime(false);
}

int Tessel::addPeer(int32_t peerId, unsigned char slot) {
  if (slot >= MaxSlots) return -1;
  publishPeerProperties();
  if (peerProperty[slot].id != peerId) numPeers.fetch_add(1, std::memory_order_relaxed);
  PacketDef::PeerProperty own = copyPeerProperty();
  PacketDef::PeerProperty record;
  record.id = peerId;
  record.roomId = own.roomId;
  record.roomId.setSlot(slot);
  client.setPeerProperty(record);
  peerProperty[slot] = record;
  if (peerId == own.id) {
    own.roomId = record.roomId;
    setOwnProperty(own);
    peerPing[slot] = 0;
  } else if (own.listen == 0 || pingThreshold.load(std::memory_order_relaxed) == -1) {
    peerPing[slot] = -1;
  }
  // A slot that already has its place in the tree keeps it; only its
  // record changes.
  if (connected && !client.inTree(slot)) {
    parentTable[slot] = client.getRootSlotId();
    topologyPing[slot] = UnknownPing;
    client.adjustTopology(slot);
  }
  return 0;
}

int Tessel::setPeerProperty(int32_t peerId, uint32_t ip, int port, bool realIp, bool listen) {
  publishPeerProperties();
  int32_t slot = client.getSlotId(peerId);
  if (!inRange(slot)) return -1;
  PacketDef::PeerProperty record;
  record.id = peerId;
  const PacketDef::PeerProperty own = copyPeerProperty();
  record.roomId = own.roomId;
  record.roomId.setSlot(static_cast<uint32_t>(slot));
  record.ip = ip;
  record.port = static_cast<uint16_t>(port);
  record.hasRealIp = realIp ? 1 : 0;
  record.listen = listen ? 1 : 0;
  client.setPeerProperty(record);
  peerProperty[slot] = record;
  if (peerId == own.id) setOwnProperty(record);
  return 0;
}

int Tessel::removePeer(int32_t peerId) {
  publishPeerProperties();
  int32_t slot = client.getSlotId(peerId);
  if (!inRange(slot)) return -1;
  if (peerProperty[slot].id != peerId) return 0;
  numPeers.fetch_sub(1, std::memory_order_relaxed);
  peerPing[slot] = -1;
  topologyPing[slot] = -1;
  client.close(slot);
  peerProperty[slot].clear();
  return 0;
}

int Tessel::getPeerPingList(char* buffer, int size) {
  const PacketDef::PeerProperty own = copyPeerProperty();
  KivAutoLock guard(galaxyMutex);
  if (buffer == nullptr) return -1;
  char* at = buffer;
  if (checkBufferSize(size, buffer, at + sizeof(own)) < 0) return -1;
  std::memcpy(at, &own, sizeof(own));
  at += sizeof(own);
  if (checkBufferSize(size, buffer, at + 4) < 0) return -1;
  char* countAt = at;
  int32_t count = 0;
  writeValue(countAt, count);
  at += 4;
  if (checkBufferSize(size, buffer, at + 5 * static_cast<int64_t>(numPeers.load())) < 0) return -1;
  for (int slot = 0; slot < MaxSlots; ++slot) {
    const PacketDef::PeerProperty& record = peerProperty[slot];
    if (record.id == -1) continue;
    if (checkBufferSize(size, buffer, at + 5) < 0) return -1;
    *at = static_cast<char>(record.roomId.slot());
    writeValue(at + 1, peerPing[slot]);
    at += 5;
    writeValue(countAt, ++count);
  }
  int32_t galaxyCount = galaxies ? static_cast<int32_t>(galaxies->size()) : 0;
  if (checkBufferSize(size, buffer, at + 4) < 0) return -1;
  writeValue(at, galaxyCount);
  at += 4;
  if (checkBufferSize(size, buffer, at + 8 * static_cast<int64_t>(galaxyCount)) < 0) return -1;
  for (int32_t i = 0; i < galaxyCount; ++i) {
    int32_t id = (*galaxies)[size_t(i)].id;
    int32_t ping = -1;
    if (galaxyPings) {
      auto found = galaxyPings->find(id);
      if (found != galaxyPings->end()) ping = found->second;
    }
    writeValue(at, id);
    writeValue(at + 4, ping);
    at += 8;
  }
  return static_cast<int>(at - buffer);
}

int Tessel::setTopology(const char* buffer, int size) {
  if (buffer == nullptr || size < 9) return -1;
  publishPeerProperties();
  const char* at = buffer;
  int32_t capacity = readValue<int32_t>(at);
  int32_t maxDataSize = readValue<int32_t>(at + 4);
  if (capacity > 0 && client.setPacketQueue(capacity, maxDataSize) < 0) return -1;
  syncTimeOn.store(at[8] != 0, std::memory_order_relaxed);
  client.setSyncTime(at[8] != 0);
  at += 9;
  if (checkBufferSize(size, buffer, at + 4) < 0) return -1;
  int32_t records = readValue<int32_t>(at);
  at += 4;
  numTopologyRecords = records;
  if (records < 0 ||
      static_cast<int64_t>(size) < (at - buffer) + static_cast<int64_t>(records) * int64_t(sizeof(PacketDef::PeerProperty)))
    return -1;
  for (int32_t i = 0; i < records; ++i) {
    PacketDef::PeerProperty record;
    std::memcpy(&record, at, sizeof(record));
    at += sizeof(record);
    // Records naming a slot beyond the room are ignored.
    if (record.roomId.slot() >= MaxSlots) continue;
    client.setPeerProperty(record);
    peerProperty[record.roomId.slot()] = record;
  }
  if (checkBufferSize(size, buffer, at + 4) < 0) return -1;
  int32_t entries = readValue<int32_t>(at);
  at += 4;
  if (entries < 0 || static_cast<int64_t>(size) < (at - buffer) + static_cast<int64_t>(entries) * 6) return -1;
  for (int32_t i = 0; i < entries; ++i, at += 6) {
    auto slot = static_cast<uint8_t>(at[0]);
    auto parent = static_cast<uint8_t>(at[1]);
    if (slot >= MaxSlots || parent >= MaxSlots) continue;
    parentTable[slot] = parent;
    topologyPing[slot] = readValue<int32_t>(at + 2);
  }
  for (int slot = 0; slot < MaxSlots; ++slot)
    if (peerProperty[slot].id != -1 && topologyPing[slot] == -1) topologyPing[slot] = UnknownPing;
  // The overlay adopts its children's links by this table, even those that
  // connect before this engine's own connect.
  if (!connected) client.setTreeParents(MaxSlots, parentTable);
  return 0;
}

int32_t Tessel::getClosestPeer() const {
  int32_t best = 0x7FFFFFFF;
  int32_t bestSlot = -1;
  int32_t root = client.getRootSlotId();
  for (int32_t slot = 0; slot < MaxSlots; ++slot) {
    const PacketDef::PeerProperty& record = peerProperty[slot];
    if (record.id == -1 || topologyPing[slot] < 0 || topologyPing[slot] >= best || slot == root ||
        record.excludeFromClosest != 0)
      continue;
    best = topologyPing[slot];
    bestSlot = slot;
  }
  return bestSlot == -1 ? -1 : peerProperty[bestSlot].id;
}

PacketDef::PeerProperty& Tessel::getPeerProperty(int32_t slot) {
  if (!inRange(slot)) {
    scratchProperty.clear();
    return scratchProperty;
  }
  return peerProperty[slot];
}

const PacketDef::PeerProperty& Tessel::getPeerProperty(int32_t slot) const {
  return inRange(slot) ? peerProperty[slot] : nullProperty;
}

void Tessel::publishPeerProperties() {
  for (int32_t slot = 0; slot < MaxSlots; ++slot) {
    PacketDef::PeerProperty& record = peerProperty[slot];
    if (record.id == -1)
      record.clear();
    else
      record.roomId.setSlot(static_cast<uint32_t>(slot));
    const PacketDef::PeerProperty held = client.getPeerProperty(slot);
    if (std::memcmp(&held, &record, sizeof(record)) == 0) continue;
    if (record.id == -1)
      client.clearPeerProperty(slot);
    else
      client.setPeerProperty(record);
  }
}

int32_t Tessel::getPeerPing(int32_t slot) const { return inRange(slot) ? peerPing[slot] : -1; }

int32_t Tessel::getParent(int32_t slot) const { return inRange(slot) ? parentTable[slot] : -1; }

int32_t Tessel::getTopologyPing(int32_t slot) const { return inRange(slot) ? topologyPing[slot] : -1; }

}  // namespace zintar
