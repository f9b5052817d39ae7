// TopologyPlanner turns the peer ping lists of one room into a topology
// description: it chooses the overlay's tree. The engine never calls it;
// the host of every peer hands its list (the bytes of getPeerPingList) to
// whoever runs the planner (the world's server, one host for its room, or
// tessel-topology on files), and every peer receives the same description
// for setTopology.
//
// Latency. The latency between two peers is what either of them measured
// toward the other, the smaller when both did. A figure of -1 (or any
// negative one, or 60000 and above, the library's "unknown") is unknown and
// never taken for zero: a pair whose latency is unknown is never linked.
//
// Tree rules. A child opens the link to its parent, so only a peer that
// accepts connections (its record's listen flag) can be a parent, the root
// included when the room has more than one peer. No parent takes more than
// the fan-out bound of children. The ping figure of each tree entry is the
// estimated root-to-member latency: the sum of the link latencies on the
// member's path, 0 for the root.
//
// Goal. Among the trees that follow these rules, find one that minimises
// the worst root-to-member latency; ties go to the smaller sum of the
// root-to-member latencies, then to the shallower tree (fewest relays on
// the longest path), then to the smaller total of hops, then to the root
// with the lower slot. Finding the best such tree under a degree bound is
// NP-hard in general, so the planner searches as follows; with at most 32
// peers all of it runs in milliseconds.
//
// Algorithm.
//  1. For every candidate root (each listening peer) and every growth bound
//     k from 1 to the fan-out, grow a tree as Dijkstra's algorithm would,
//     honouring k: repeatedly attach the outside peer that can be reached at
//     the smallest root-to-member latency through a listening tree member
//     with fewer than k children (ties: fewer hops, then lower slots). Each
//     growth is done twice: once as described, once attaching every peer
//     that accepts connections before any that does not, which keeps the
//     most room for children when the bound is tight. A narrow bound often
//     gives the deeper but better-balanced start.
//  2. Improve each grown tree by local search at bound k, then k + 1, and
//     so on up to the fan-out: move a member (with its subtree) below
//     another listening member that has room, or swap it with a child of a
//     full listening member; keep a change only when it strictly improves
//     the goal above.
//  3. Keep the best tree over all roots, bounds and growth orders.
// Every start and search for a fan-out is repeated, and searched further,
// for each larger one; so a larger fan-out never gives a worse tree.
// Bounds that hold nobody back are skipped, as they repeat a wider bound.
// When the bound allows a star (a fan-out of at least the number of peers
// less one), step 1 gives every member its shortest path from the root, of
// which the direct link to the root is one choice; so whenever a star
// around some root is possible, the result is never worse than the best
// such star, in worst latency and, at equal worst, in sum.
//
// Failure. When no tree is possible the planner says why and produces
// nothing: no peer accepts connections; a peer has no known latency to any
// peer that accepts connections; the fan-out bound leaves too little room
// below the listening peers; or the search found no tree that respects the
// bound (with sparse latencies and a tight bound a tree may exist that the
// greedy growth misses; a larger fan-out helps). A description is produced
// only after it has been checked to be a tree.
//
// Output is deterministic: equal input (in any order of lists) gives the
// same description byte for byte.
//
// Single-threaded; one object per room. Add the lists, call plan(), then
// read the plan, the description bytes, summary() and dot().

#ifndef TESSEL_PLANNER_TOPOLOGY_PLANNER_H_
#define TESSEL_PLANNER_TOPOLOGY_PLANNER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessel/planner/ping_list.h"
#include "tessel/planner/topology_description.h"
#include "tessel/tessel_export.h"

namespace zintar {

struct PlannerOptions {
  static constexpr int DefaultFanOut = 4;
  static constexpr int32_t DefaultCapacity = 256;
  static constexpr int32_t DefaultMaxDataSize = 1478;

  // Most children of one parent, 1 to 31.
  int fanOut = DefaultFanOut;
  // Frame store size written into the description.
  int32_t capacity = DefaultCapacity;
  int32_t maxDataSize = DefaultMaxDataSize;
  // Clock synchronisation flag written into the description.
  bool syncTime = true;
};

// The chosen tree, indexed by slot.
struct TESSEL_EXPORT TopologyPlan {
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;

  int root = -1;
  int32_t parent[MaxSlots];   // parent slot, the root itself; -1 not in the room
  int32_t latency[MaxSlots];  // estimated root-to-member latency, ms
  int depth[MaxSlots];        // hops from the root
  int32_t worst = 0;          // largest latency over the members
  int64_t sum = 0;            // sum of the latencies
  int maxDepth = 0;
  TopologyDescription description;

  TopologyPlan();
  // Children of slot in slot order.
  std::vector<int> children(int slot) const;
  bool isMember(int slot) const { return slot >= 0 && slot < MaxSlots && parent[slot] != -1; }
};

class TESSEL_EXPORT TopologyPlanner {
 public:
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;
  static constexpr int32_t Unknown = -1;
  // Figures from here on mean "unknown" in the library's tables.
  static constexpr int32_t UnknownFrom = 60000;

  explicit TopologyPlanner(const PlannerOptions& options = PlannerOptions());

  // Adds one peer's list. -1 with the reason in getError() when the bytes
  // are not a ping list, the slot or peer id was added before, or the list
  // belongs to another room than the first; nothing is added then.
  int addPingList(const char* data, size_t size);
  int addPingList(const PingList& list);

  // Chooses the tree. 0 on success (see getPlan and getDescription); -1 with
  // the reason in getError() when no tree is possible or the options are out
  // of range. May be called again after more lists were added.
  int plan();

  const TopologyPlan& getPlan() const { return plan_; }
  // The description bytes of the last successful plan(), else empty.
  std::string getDescription() const;
  const std::string& getError() const { return error_; }
  int getNumPeers() const;
  const PingList* getPingList(int slot) const;
  // The slots that the added lists name but that have no list of their
  // own, in slot order: peers that a plan leaves out.
  std::vector<int> getUnlistedSlots() const;

  // Latency between two slots as the planner uses it: the smaller of the
  // two measurements that are known, 0 for a slot with itself, else -1.
  int32_t getLatency(int a, int b) const;

  // Readable text: the options, the goal figures and the tree, indented.
  std::string summary() const;
  // The latency matrix as a table, "-" for unknown.
  std::string latencyTable() const;
  // The tree as a Graphviz digraph, parent to child, links labelled with
  // their latency.
  std::string dot() const;

 private:
  struct Cost;
  struct Tree;

  bool validateOptions();
  bool checkFeasible(const std::vector<int>& members);
  bool grow(int root, bool listenersFirst, int bound, const std::vector<int>& members, Tree& tree) const;
  void improve(const std::vector<int>& members, int bound, Tree& tree) const;
  // The most children any member of tree has.
  int widestFamily(const std::vector<int>& members, const Tree& tree) const;
  bool evaluate(const std::vector<int>& members, const int32_t* parent, Cost& cost, int32_t* latency,
                int* depth) const;
  bool canParent(int slot) const;
  // Refreshes link_ and listens_ after slot's list arrived.
  void updateLinks(int slot);

  PlannerOptions options_;
  PingList lists_[MaxSlots];
  bool present_[MaxSlots];
  // measured_[a][b]: what a measured toward b, -1 when unknown.
  int32_t measured_[MaxSlots][MaxSlots];
  // link_[a][b]: the latency the planner uses (getLatency), both ways.
  int32_t link_[MaxSlots][MaxSlots];
  bool listens_[MaxSlots];
  TopologyPlan plan_;
  bool planned_ = false;
  std::string error_;
};

}  // namespace zintar

#endif  // TESSEL_PLANNER_TOPOLOGY_PLANNER_H_
