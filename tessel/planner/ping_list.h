// PingList is one peer's peer ping list as the engine writes it
// (Tessel::getPeerPingList): the peer's own record, its measured ping to
// each peer of the room by slot, and its ping to each galaxy. parse() is
// the one checked entry point for those bytes; encode() writes them back in
// the same layout (tests and tools use it to make input).
//
// Layout, little-endian, no padding:
//   0       50      the own PeerProperty
//   50      4       n, number of peer entries
//   54      5 n     entries: 1 byte slot, signed 32-bit ping (-1 unknown)
//   54+5n   4       g, number of galaxies
//   58+5n   8 g     entries: signed 32-bit galaxy id, signed 32-bit ping
//
// A plain value; any thread may use it.

#ifndef TESSEL_PLANNER_PING_LIST_H_
#define TESSEL_PLANNER_PING_LIST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessel/records/packet_def.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT PingList {
 public:
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;
  static constexpr size_t RecordSize = sizeof(PacketDef::PeerProperty);
  static constexpr size_t PeerEntrySize = 5;
  static constexpr size_t GalaxyEntrySize = 8;
  // Smallest list: the record and two empty counts.
  static constexpr size_t MinSize = RecordSize + 8;

  struct PeerEntry {
    int slot;
    int32_t ping;
  };
  struct GalaxyEntry {
    int32_t id;
    int32_t ping;
  };

  PacketDef::PeerProperty self;
  std::vector<PeerEntry> peers;
  std::vector<GalaxyEntry> galaxies;

  // The owner's slot, from its record.
  int slot() const { return static_cast<int>(self.roomId.slot()); }

  // Reads size bytes. False with a reason in why when the bytes are not
  // exactly one ping list: too short or long for their counts, an empty or
  // out-of-range own record, a slot of 32 or more, or a slot listed twice.
  // out is only written on success.
  static bool parse(const char* data, size_t size, PingList& out, std::string& why);

  // The bytes of this list in the layout above.
  std::string encode() const;
};

}  // namespace zintar

#endif  // TESSEL_PLANNER_PING_LIST_H_
