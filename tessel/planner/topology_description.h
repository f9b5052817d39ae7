// TopologyDescription is the answer a room's peers feed to
// Tessel::setTopology: the frame store's size, the clock synchronisation
// flag, the peers' records and the tree as (slot, parent slot, ping figure)
// entries, the root naming itself as its parent. encode() writes the exact
// bytes; parse() is the one checked entry point for reading them back.
//
// A host or server that fixes the tree itself builds one with addPeer:
//
//   zintar::TopologyDescription topology;  // no frame store, no clock sync
//   topology.addPeer(zintar::TopologyDescription::peerRecord(100, 0, ip, port0), 0);  // the root
//   topology.addPeer(zintar::TopologyDescription::peerRecord(101, 1, ip, port1), 0);  // its child
//   std::string bytes = topology.encode();  // for setTopology
//
// Layout, little-endian, no padding:
//   0       4       frame store packet count (0 or less: leave the store)
//   4       4       largest data size per stored packet
//   8       1       clock synchronisation flag
//   9       4       r, number of peer records
//   13      50 r    the records (PacketDef::PeerProperty)
//   13+50r  4       k, number of tree entries
//   17+50r  6 k     entries: 1 byte slot, 1 byte parent, signed 32-bit ping
//
// A plain value; any thread may use it.

#ifndef TESSEL_PLANNER_TOPOLOGY_DESCRIPTION_H_
#define TESSEL_PLANNER_TOPOLOGY_DESCRIPTION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessel/records/packet_def.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT TopologyDescription {
 public:
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;
  static constexpr size_t RecordSize = sizeof(PacketDef::PeerProperty);
  static constexpr size_t EntrySize = 6;
  static constexpr size_t HeaderSize = 13;

  struct Entry {
    int slot;
    int parent;
    int32_t ping;
  };

  int32_t capacity = 0;
  int32_t maxDataSize = 0;
  bool syncTime = false;
  std::vector<PacketDef::PeerProperty> records;
  std::vector<Entry> entries;

  // A record as a description carries it: peerId in slot of room (major,
  // minor), reached at ip (IPv4 as a host-order number) and port, accepting
  // connections when listen. The other fields keep their defaults.
  static PacketDef::PeerProperty peerRecord(int32_t peerId, int slot, uint32_t ip, int port, bool listen = true,
                                            uint32_t major = 0, uint32_t minor = 0);

  // Appends record and its tree entry: parent is the slot of its parent,
  // the record's own slot for the root; ping the entry's figure (what
  // getClosestPeer compares). Checks nothing: see checkTree.
  void addPeer(const PacketDef::PeerProperty& record, int parent, int32_t ping = 0);

  // The bytes in the layout above.
  std::string encode() const;

  // Reads exactly one description of size bytes; false with a reason in
  // why when the counts do not match the size, a count is negative, or a
  // record or entry names a slot of 32 or more. out is only written on
  // success. Says nothing about the entries forming a tree: see checkTree.
  static bool parse(const char* data, size_t size, TopologyDescription& out, std::string& why);

  // True when the entries form one tree over the records: every record's
  // slot has exactly one entry and no entry names another slot, exactly one
  // entry names itself as parent, and every slot reaches that root. Else
  // false with the first fault in why.
  bool checkTree(std::string& why) const;

  // The root's slot, or -1 when no entry names itself.
  int root() const;
};

}  // namespace zintar

#endif  // TESSEL_PLANNER_TOPOLOGY_DESCRIPTION_H_
