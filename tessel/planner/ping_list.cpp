#include "tessel/planner/ping_list.h"

#include <cstring>

#include "tessel/planner/wire_bytes.h"

namespace zintar {

namespace {

static_assert(PingList::RecordSize == 50, "a peer record is 50 bytes on the wire");

}  // namespace

bool PingList::parse(const char* data, size_t size, PingList& out, std::string& why) {
  if (data == nullptr || size < MinSize) {
    why = "too short for a ping list (" + std::to_string(size) + " bytes, at least " + std::to_string(MinSize) +
          ")";
    return false;
  }
  PingList list;
  std::memcpy(&list.self, data, RecordSize);
  if (list.self.id == -1) {
    why = "the list's own record is empty (peer id -1)";
    return false;
  }
  if (list.slot() >= MaxSlots) {
    why = "the list's own record names slot " + std::to_string(list.slot()) + " (slots are 0 to 31)";
    return false;
  }
  size_t offset = RecordSize;
  int32_t n = readInt(data + offset);
  offset += 4;
  if (n < 0 || n > MaxSlots) {
    why = "peer entry count " + std::to_string(n) + " is outside 0 to 32";
    return false;
  }
  // n is at most 32 here, so the products cannot overflow.
  if (size - offset < PeerEntrySize * size_t(n) + 4) {
    why = "too short for its " + std::to_string(n) + " peer entries";
    return false;
  }
  bool seen[MaxSlots] = {};
  for (int32_t i = 0; i < n; ++i) {
    int slot = static_cast<unsigned char>(data[offset]);
    int32_t ping = readInt(data + offset + 1);
    offset += PeerEntrySize;
    if (slot >= MaxSlots) {
      why = "a peer entry names slot " + std::to_string(slot) + " (slots are 0 to 31)";
      return false;
    }
    if (seen[slot]) {
      why = "slot " + std::to_string(slot) + " is listed twice";
      return false;
    }
    seen[slot] = true;
    list.peers.push_back({slot, ping});
  }
  int32_t g = readInt(data + offset);
  offset += 4;
  if (g < 0) {
    why = "galaxy count " + std::to_string(g) + " is negative";
    return false;
  }
  size_t rest = size - offset;
  if (rest / GalaxyEntrySize < size_t(g)) {
    why = "too short for its " + std::to_string(g) + " galaxy entries";
    return false;
  }
  for (int32_t i = 0; i < g; ++i) {
    list.galaxies.push_back({readInt(data + offset), readInt(data + offset + 4)});
    offset += GalaxyEntrySize;
  }
  if (offset != size) {
    why = std::to_string(size - offset) + " bytes after the end of the list";
    return false;
  }
  out = std::move(list);
  return true;
}

std::string PingList::encode() const {
  std::string bytes(reinterpret_cast<const char*>(&self), RecordSize);
  putInt(bytes, static_cast<int32_t>(peers.size()));
  for (const PeerEntry& entry : peers) {
    bytes.push_back(static_cast<char>(entry.slot));
    putInt(bytes, entry.ping);
  }
  putInt(bytes, static_cast<int32_t>(galaxies.size()));
  for (const GalaxyEntry& entry : galaxies) {
    putInt(bytes, entry.id);
    putInt(bytes, entry.ping);
  }
  return bytes;
}

}  // namespace zintar
