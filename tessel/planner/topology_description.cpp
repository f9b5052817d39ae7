#include "tessel/planner/topology_description.h"

#include <cstring>

#include "tessel/planner/wire_bytes.h"

namespace zintar {

namespace {

static_assert(TopologyDescription::RecordSize == 50, "a peer record is 50 bytes on the wire");

}  // namespace

PacketDef::PeerProperty TopologyDescription::peerRecord(int32_t peerId, int slot, uint32_t ip, int port, bool listen,
                                                       uint32_t major, uint32_t minor) {
  PacketDef::PeerProperty record;
  record.id = peerId;
  record.roomId.setMajor(major);
  record.roomId.setMinor(minor);
  record.roomId.setSlot(static_cast<uint32_t>(slot));
  record.ip = ip;
  record.port = static_cast<uint16_t>(port);
  record.listen = listen ? 1 : 0;
  return record;
}

void TopologyDescription::addPeer(const PacketDef::PeerProperty& record, int parent, int32_t ping) {
  records.push_back(record);
  entries.push_back(Entry{static_cast<int>(record.roomId.slot()), parent, ping});
}

std::string TopologyDescription::encode() const {
  std::string bytes;
  putInt(bytes, capacity);
  putInt(bytes, maxDataSize);
  bytes.push_back(syncTime ? 1 : 0);
  putInt(bytes, static_cast<int32_t>(records.size()));
  for (const auto& record : records) bytes.append(reinterpret_cast<const char*>(&record), RecordSize);
  putInt(bytes, static_cast<int32_t>(entries.size()));
  for (const Entry& entry : entries) {
    bytes.push_back(static_cast<char>(entry.slot));
    bytes.push_back(static_cast<char>(entry.parent));
    putInt(bytes, entry.ping);
  }
  return bytes;
}

bool TopologyDescription::parse(const char* data, size_t size, TopologyDescription& out, std::string& why) {
  if (data == nullptr || size < HeaderSize + 4) {
    why = "too short for a topology description (" + std::to_string(size) + " bytes)";
    return false;
  }
  TopologyDescription description;
  description.capacity = readInt(data);
  description.maxDataSize = readInt(data + 4);
  description.syncTime = data[8] != 0;
  int32_t r = readInt(data + 9);
  size_t offset = HeaderSize;
  // A room has at most 32 peers; the bound also keeps the products small.
  if (r < 0 || r > MaxSlots) {
    why = "record count " + std::to_string(r) + " is outside 0 to 32";
    return false;
  }
  if (size - offset < RecordSize * size_t(r) + 4) {
    why = "too short for its " + std::to_string(r) + " records";
    return false;
  }
  for (int32_t i = 0; i < r; ++i) {
    PacketDef::PeerProperty record;
    std::memcpy(&record, data + offset, RecordSize);
    offset += RecordSize;
    if (record.roomId.slot() >= unsigned(MaxSlots)) {
      why = "a record names slot " + std::to_string(record.roomId.slot());
      return false;
    }
    description.records.push_back(record);
  }
  int32_t k = readInt(data + offset);
  offset += 4;
  if (k < 0 || k > MaxSlots) {
    why = "tree entry count " + std::to_string(k) + " is outside 0 to 32";
    return false;
  }
  if (size - offset != EntrySize * size_t(k)) {
    why = "size does not match its " + std::to_string(k) + " tree entries";
    return false;
  }
  for (int32_t i = 0; i < k; ++i) {
    Entry entry{static_cast<unsigned char>(data[offset]), static_cast<unsigned char>(data[offset + 1]),
                readInt(data + offset + 2)};
    offset += EntrySize;
    if (entry.slot >= MaxSlots || entry.parent >= MaxSlots) {
      why = "a tree entry names slot " + std::to_string(entry.slot) + " with parent " + std::to_string(entry.parent);
      return false;
    }
    description.entries.push_back(entry);
  }
  out = std::move(description);
  return true;
}

int TopologyDescription::root() const {
  for (const Entry& entry : entries)
    if (entry.slot == entry.parent) return entry.slot;
  return -1;
}

bool TopologyDescription::checkTree(std::string& why) const {
  int parent[MaxSlots];
  bool member[MaxSlots] = {};
  for (int& value : parent) value = -1;
  for (const auto& record : records) {
    unsigned slot = record.roomId.slot();
    if (slot >= unsigned(MaxSlots) || member[slot]) {
      why = "slot " + std::to_string(slot) + " has more than one record or is out of range";
      return false;
    }
    member[slot] = true;
  }
  int roots = 0;
  for (const Entry& entry : entries) {
    if (entry.slot < 0 || entry.slot >= MaxSlots || entry.parent < 0 || entry.parent >= MaxSlots ||
        !member[entry.slot] || !member[entry.parent]) {
      why = "tree entry for slot " + std::to_string(entry.slot) + " names a slot without a record";
      return false;
    }
    if (parent[entry.slot] != -1) {
      why = "slot " + std::to_string(entry.slot) + " has two tree entries";
      return false;
    }
    parent[entry.slot] = entry.parent;
    if (entry.slot == entry.parent) ++roots;
  }
  if (roots != 1) {
    why = std::to_string(roots) + " roots (a tree has one)";
    return false;
  }
  for (int slot = 0; slot < MaxSlots; ++slot) {
    if (!member[slot]) continue;
    if (parent[slot] == -1) {
      why = "slot " + std::to_string(slot) + " has no tree entry";
      return false;
    }
    // A walk of more steps than there are slots has met a cycle.
    int at = slot;
    int steps = 0;
    while (parent[at] != at && steps <= MaxSlots) {
      at = parent[at];
      ++steps;
    }
    if (parent[at] != at) {
      why = "slot " + std::to_string(slot) + " does not reach the root (a cycle)";
      return false;
    }
  }
  return true;
}

}  // namespace zintar
