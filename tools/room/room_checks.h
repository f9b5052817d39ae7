// The verdict on one tessel-room run: what every peer sent and received,
// checked against what the library promises, and the figures the report
// prints per peer.
//
// What is checked:
//  - Direct packets, immediate broadcasts and ordered broadcasts: each one
//    reaches every member it was meant for exactly once (a broadcast
//    reaches every member, its originator included); nothing arrives that
//    was never sent, and each names its true originator.
//  - Ordered broadcasts (castPacket with immediate false) in ordered modes
//    3 and 5 are logged by every inner node of the tree, and its leaf
//    children pull that log. So all members below one inner node (the node
//    and its leaf children, its "group") see one order; different inner
//    nodes may order concurrent broadcasts differently. Mode 3: each leaf's
//    order equals its parent's. Mode 5 (sequenced): a leaf hands over only
//    the first packet of each answer to its pulls, so it may skip ordered
//    broadcasts: skips are counted and reported, not failed, but a leaf's
//    order must be a part of its parent's order (nothing twice, nothing
//    out of place). In every mode each originator's ordered broadcasts keep
//    their order at every member. Mode 0 has no ordered delivery: such
//    broadcasts travel as immediate ones.
//  - The library accepted every send, and no peer reported a disconnection
//    or an error.
//
// Pure computation; any thread.

#ifndef TESSEL_TOOLS_ROOM_ROOM_CHECKS_H_
#define TESSEL_TOOLS_ROOM_ROOM_CHECKS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessel_room {

// One message as the receiving host popped it.
struct Delivery {
  uint8_t kind = 0;  // TrafficKind; 0 when the payload was not a stamp
  uint8_t origin = 0;
  uint32_t sequence = 0;
  int32_t peerId = -1;   // the originator the library named
  uint16_t figure = 0;   // the job's delay figure
  int32_t wallMs = 0;    // receive tick minus the stamp's send tick
};

// Job type counts, indexed by TesselJob type (0 none, 1 message, 2 ping
// answer, 3 disconnection, 4 error).
constexpr int JobTypes = 5;

// One peer's part of the run; a room's peers are indexed by slot.
struct PeerRun {
  int32_t peerId = -1;
  int parent = -1;  // parent slot; the root names itself
  bool listen = true;
  std::vector<uint32_t> directTo;  // direct packets sent, per destination slot
  uint32_t immediateSent = 0;
  uint32_t orderedSent = 0;
  uint32_t sendFailures = 0;  // sends the library refused (not counted as sent)
  std::vector<Delivery> received;  // in the order the host popped them
  uint32_t jobs[JobTypes] = {};
};

struct Percentiles {
  size_t count = 0;
  int64_t p50 = 0;
  int64_t p99 = 0;
  int64_t max = 0;

  // Nearest-rank percentiles of values (any order).
  static Percentiles of(std::vector<int64_t> values);
};

// Per peer figures for the report.
struct PeerFigures {
  bool inner = false;
  // By TrafficKind (index 1 to 3).
  uint32_t got[4] = {};
  uint32_t lost[4] = {};
  uint32_t duplicated[4] = {};
  uint32_t skipped = 0;     // ordered broadcasts a sequenced leaf skipped
  uint32_t strays = 0;      // never sent, garbled, or naming a wrong originator
  uint32_t outOfOrder = 0;  // ordered broadcasts behind a later one of their originator
  Percentiles immediateFigure;
  Percentiles orderedFigure;
  Percentiles immediateWall;
  Percentiles orderedWall;
  Percentiles directWall;
};

struct Check {
  enum Level { Pass, Fail, Info };
  Level level;
  std::string text;
};

struct RoomVerdict {
  std::vector<PeerFigures> peers;
  std::vector<Check> checks;
  bool passed = true;
};

// Checks a run in delivery mode (0, 3 or 5). peers[s] is slot s; every
// directTo has one entry per peer.
RoomVerdict checkRoom(int mode, const std::vector<PeerRun>& peers);

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_CHECKS_H_
