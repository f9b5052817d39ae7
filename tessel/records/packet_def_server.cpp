// The server records: avatar updates, the packet and its size rule.

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "tessel/records/packet_def.h"
#include "tessel/toolkit/kiv_clock.h"

namespace {

// One run of consecutive type codes that share a body size.
struct SizeRange {
  uint16_t first;
  uint16_t last;
  uint16_t bodySize;
};

// The wire size of every known type code, as runs sorted by code. Codes
// outside every run are unknown. Type 0 and the length-prefixed type follow
// rules of their own in Packet::size.
constexpr SizeRange SizeTable[] = {
    {1, 1, 32},         {2, 2, 24722},      {3, 3, 4},          {4, 4, 124},        {5, 5, 68},
    {6, 6, 124},        {7, 7, 68},         {8, 15, 124},       {2048, 2048, 68},   {2049, 2049, 124},
    {2050, 2050, 68},   {2051, 2051, 124},  {2304, 2326, 50},   {2400, 2400, 50},   {2416, 2416, 76},
    {2417, 2417, 8},    {2418, 2420, 50},   {2421, 2423, 4},    {2425, 2426, 72},   {2427, 2427, 16},
    {2428, 2428, 50},   {3072, 3072, 4},    {3073, 3073, 16},   {3074, 3074, 4},    {3075, 3075, 8},
    {3088, 3088, 4},    {3328, 3328, 16},   {3329, 3329, 17},   {3330, 3330, 8},    {3331, 3331, 16},
    {3332, 3332, 124},  {3584, 3584, 4},    {3840, 3840, 124},  {45057, 45058, 4},  {49153, 49154, 16},
    {49155, 49155, 4},  {53249, 53249, 4},  {61440, 61440, 4},  {61696, 61696, 4},  {61952, 61952, 4},
    {62208, 62208, 124}, {62464, 62464, 4}, {62720, 62721, 4},
};

// The lookup relies on sorted, disjoint runs that leave the two special
// codes alone.
constexpr bool isWellFormed() {
  for (size_t i = 0; i < std::size(SizeTable); ++i) {
    const SizeRange& range = SizeTable[i];
    if (range.first > range.last) return false;
    if (i > 0 && SizeTable[i - 1].last >= range.first) return false;
    if (range.first <= PacketDef::Packet::TypeOnly && PacketDef::Packet::TypeOnly <= range.last) return false;
    if (range.first <= PacketDef::Packet::LengthPrefixed && PacketDef::Packet::LengthPrefixed <= range.last)
      return false;
    if (range.bodySize > PacketDef::Packet::BodySize) return false;
  }
  return true;
}
static_assert(isWellFormed());

// Body size of a known code, or -1.
int bodySizeOf(uint16_t type) {
  // The first run that ends at or after type; type is in it when it starts
  // at or before type.
  const SizeRange* range = std::lower_bound(std::begin(SizeTable), std::end(SizeTable), type,
                                            [](const SizeRange& r, uint16_t code) { return r.last < code; });
  if (range == std::end(SizeTable) || range->first > type) return -1;
  return range->bodySize;
}

}  // namespace

void PacketDef::AvatarEvent::clear() {
  std::fill(std::begin(values), std::end(values), 0);
  std::fill(std::begin(reals), std::end(reals), 0.0f);
}

PacketDef::AvatarUpdate::AvatarUpdate() : AvatarUpdate(-1, -1, 0.0f, 0.0f, 0.0f) {}

PacketDef::AvatarUpdate::AvatarUpdate(int32_t newId) : AvatarUpdate(newId, -1, 0.0f, 0.0f, 0.0f) {}

PacketDef::AvatarUpdate::AvatarUpdate(int32_t newId, int newWorldId, Vector3d<float> position)
    : AvatarUpdate(newId, newWorldId, position.getX(), position.getY(), position.getZ()) {}

PacketDef::AvatarUpdate::AvatarUpdate(int32_t newId, int newWorldId, float x, float y, float z)
    : id(newId),
      worldId(newWorldId),
      shape(0),
      updateTime(0),
      filterTime(0),
      avatarIO(0),
      sessionIO(0) {
  std::memset(name, 0, sizeof(name));
  currentPosition.set(x, y, z);
}

void PacketDef::AvatarUpdate::set(int32_t newId, int newWorldId, float x, float y, float z) {
  id = newId;
  worldId = newWorldId;
  currentPosition.set(x, y, z);
}

void PacketDef::AvatarUpdate::set(int32_t newId, int newWorldId, Vector3d<float> position) {
  set(newId, newWorldId, position.getX(), position.getY(), position.getZ());
}

void PacketDef::AvatarUpdate::setName(const char* value) {
  // strnlen stops at the source's terminator, so a short source is never
  // read past its end.
  const size_t length = value != nullptr ? strnlen(value, NameSize - 1) : 0;
  std::memcpy(name, value != nullptr ? value : "", length);
  std::memset(name + length, 0, NameSize - length);
}

uint64_t PacketDef::AvatarUpdate::currentFileTime() {
  // Milliseconds since 1970 in 100-nanosecond units, moved to 1601.
  constexpr int64_t UnitsPerMs = 10000;
  constexpr int64_t EarliestMs = -static_cast<int64_t>(FileTimeUnixEpoch / UnitsPerMs);
  constexpr int64_t LatestMs = (INT64_MAX - static_cast<int64_t>(FileTimeUnixEpoch)) / UnitsPerMs;
  const int64_t ms = std::clamp(KivClock::getRealTimeMs(), EarliestMs, LatestMs);
  return static_cast<uint64_t>(ms * UnitsPerMs + static_cast<int64_t>(FileTimeUnixEpoch));
}

void PacketDef::AvatarUpdate::setUpdateTime() { updateTime = currentFileTime(); }

void PacketDef::AvatarUpdate::setFilterTime() { filterTime = currentFileTime(); }

bool PacketDef::AvatarUpdate::operator==(const AvatarUpdate& other) const {
  // Bytes after a name's terminator carry nothing; clear them so that the
  // byte comparison sees only what matters.
  for (const AvatarUpdate* record : {this, &other}) {
    const size_t length = strnlen(record->name, NameSize);
    std::memset(record->name + length, 0, NameSize - length);
  }
  return std::memcmp(this, &other, sizeof(AvatarUpdate)) == 0;
}

PacketDef::AvatarDetail::AvatarDetail() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }

PacketDef::Packet::Packet(uint16_t newType) : type(newType) {
  if (type == LengthPrefixed) std::memset(body, 0, 2 * sizeof(uint32_t));
}

void PacketDef::Packet::setType(uint16_t newType) {
  type = newType;
  if (type == LengthPrefixed) std::memset(body, 0, sizeof(uint32_t));
}

int PacketDef::Packet::size(bool withType) const {
  if (type == TypeOnly) return static_cast<int>(HeaderSize);
  int64_t bodySize;
  if (type == LengthPrefixed) {
    uint32_t length;
    std::memcpy(&length, body, sizeof(length));
    bodySize = static_cast<int64_t>(LengthPrefixedHeaderSize) + length;
  } else {
    bodySize = bodySizeOf(type);
    if (bodySize < 0) return static_cast<int>(PacketSize);
  }
  const int64_t total = bodySize + (withType ? static_cast<int64_t>(HeaderSize) : 0);
  return total <= INT_MAX ? static_cast<int>(total) : -1;
}
