#include "tessel/planner/topology_planner.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace zintar {

namespace {

// Passes of local search before it stops even if it still finds gains;
// each pass strictly improves the cost, so this only bounds pathological
// inputs.
constexpr int MaxImprovePasses = 200;

std::string peerName(const PingList& list) {
  return "slot " + std::to_string(list.slot()) + " (peer " + std::to_string(list.self.id) + ")";
}

}  // namespace

// What the planner minimises, compared in this order.
struct TopologyPlanner::Cost {
  int32_t worst = 0;
  int64_t sum = 0;
  int maxDepth = 0;
  int sumDepth = 0;

  bool operator<(const Cost& other) const {
    return std::tie(worst, sum, maxDepth, sumDepth) <
           std::tie(other.worst, other.sum, other.maxDepth, other.sumDepth);
  }
};

struct TopologyPlanner::Tree {
  int root = -1;
  int32_t parent[MaxSlots];
  Cost cost;
};

TopologyPlan::TopologyPlan() {
  for (int slot = 0; slot < MaxSlots; ++slot) {
    parent[slot] = -1;
    latency[slot] = -1;
    depth[slot] = -1;
  }
}

std::vector<int> TopologyPlan::children(int slot) const {
  std::vector<int> result;
  for (int child = 0; child < MaxSlots; ++child)
    if (child != slot && parent[child] == slot) result.push_back(child);
  return result;
}

TopologyPlanner::TopologyPlanner(const PlannerOptions& options) : options_(options) {
  for (int a = 0; a < MaxSlots; ++a) {
    present_[a] = false;
    listens_[a] = false;
    for (int b = 0; b < MaxSlots; ++b) {
      measured_[a][b] = Unknown;
      link_[a][b] = a == b ? 0 : Unknown;
    }
  }
}

int TopologyPlanner::addPingList(const char* data, size_t size) {
  PingList list;
  std::string why;
  if (!PingList::parse(data, size, list, why)) {
    error_ = "not a ping list: " + why;
    return -1;
  }
  return addPingList(list);
}

int TopologyPlanner::addPingList(const PingList& list) {
  const int slot = list.slot();
  if (slot < 0 || slot >= MaxSlots || list.self.id == -1) {
    error_ = "a ping list without a valid own record";
    return -1;
  }
  if (present_[slot]) {
    error_ = "two ping lists for slot " + std::to_string(slot);
    return -1;
  }
  for (int other = 0; other < MaxSlots; ++other) {
    if (!present_[other]) continue;
    if (lists_[other].self.id == list.self.id) {
      error_ = "peer " + std::to_string(list.self.id) + " sent lists for slots " + std::to_string(other) + " and " +
               std::to_string(slot);
      return -1;
    }
    const auto& room = lists_[other].self.roomId;
    if (room.major() != list.self.roomId.major() || room.minor() != list.self.roomId.minor()) {
      error_ = peerName(list) + " is in room " + std::to_string(list.self.roomId.major()) + "." +
               std::to_string(list.self.roomId.minor()) + ", the others in " + std::to_string(room.major()) + "." +
               std::to_string(room.minor());
      return -1;
    }
  }
  for (const auto& entry : list.peers) {
    if (entry.slot < 0 || entry.slot >= MaxSlots || entry.slot == slot) continue;
    bool known = entry.ping >= 0 && entry.ping < UnknownFrom;
    measured_[slot][entry.slot] = known ? entry.ping : Unknown;
  }
  lists_[slot] = list;
  present_[slot] = true;
  updateLinks(slot);
  planned_ = false;
  return 0;
}

int TopologyPlanner::getNumPeers() const {
  return static_cast<int>(std::count(std::begin(present_), std::end(present_), true));
}

std::vector<int> TopologyPlanner::getUnlistedSlots() const {
  bool named[MaxSlots] = {};
  for (int slot = 0; slot < MaxSlots; ++slot) {
    if (!present_[slot]) continue;
    for (const auto& entry : lists_[slot].peers)
      if (entry.slot >= 0 && entry.slot < MaxSlots) named[entry.slot] = true;
  }
  std::vector<int> unlisted;
  for (int slot = 0; slot < MaxSlots; ++slot)
    if (named[slot] && !present_[slot]) unlisted.push_back(slot);
  return unlisted;
}

const PingList* TopologyPlanner::getPingList(int slot) const {
  if (slot < 0 || slot >= MaxSlots || !present_[slot]) return nullptr;
  return &lists_[slot];
}

int32_t TopologyPlanner::getLatency(int a, int b) const {
  if (a < 0 || a >= MaxSlots || b < 0 || b >= MaxSlots) return Unknown;
  return link_[a][b];
}

void TopologyPlanner::updateLinks(int slot) {
  for (int other = 0; other < MaxSlots; ++other) {
    int32_t there = measured_[slot][other];
    int32_t back = measured_[other][slot];
    int32_t link = there < 0 ? back : (back < 0 ? there : std::min(there, back));
    if (other == slot) link = 0;
    link_[slot][other] = link;
    link_[other][slot] = link;
  }
  listens_[slot] = lists_[slot].self.listen != 0;
}

bool TopologyPlanner::canParent(int slot) const { return listens_[slot]; }

bool TopologyPlanner::validateOptions() {
  if (options_.fanOut < 1 || options_.fanOut > MaxSlots - 1) {
    error_ = "fan-out " + std::to_string(options_.fanOut) + " is outside 1 to 31";
    return false;
  }
  return true;
}

// The reasons that no tree can exist whatever the search does.
bool TopologyPlanner::checkFeasible(const std::vector<int>& members) {
  if (members.empty()) {
    error_ = "no ping lists";
    return false;
  }
  if (members.size() == 1) return true;
  std::vector<int> listeners;
  for (int slot : members)
    if (canParent(slot)) listeners.push_back(slot);
  if (listeners.empty()) {
    error_ = "no peer accepts connections (listen), so no peer can be a parent";
    return false;
  }
  bool anyKnown = false;
  for (int a : members)
    for (int b : members)
      if (a != b && getLatency(a, b) >= 0) anyKnown = true;
  if (!anyKnown) {
    error_ = "no latency between any two peers is known";
    return false;
  }
  // Every member needs a known link to someone, and one that cannot be the
  // root a known link to a possible parent.
  for (int slot : members) {
    bool linked = false;
    bool toParent = false;
    for (int other : members) {
      if (other == slot || getLatency(slot, other) < 0) continue;
      linked = true;
      toParent = toParent || canParent(other);
    }
    if (!linked) {
      error_ = peerName(lists_[slot]) + " has no known latency to any other peer";
      return false;
    }
    if (!toParent && !canParent(slot)) {
      error_ = peerName(lists_[slot]) +
               " does not accept connections and has no known latency to any peer that does";
      return false;
    }
  }
  const size_t room = size_t(options_.fanOut) * listeners.size();
  if (room < members.size() - 1) {
    error_ = "a fan-out of " + std::to_string(options_.fanOut) + " gives the " + std::to_string(listeners.size()) +
             " peers that accept connections room for " + std::to_string(room) + " children, and " +
             std::to_string(members.size() - 1) + " are needed";
    return false;
  }
  return true;
}

// Latencies and depths of every member from the root, and the cost; false
// when the parent table is not one tree over the members (a cycle, a link of
// unknown latency, a parent that does not listen or has too many children).
bool TopologyPlanner::evaluate(const std::vector<int>& members, const int32_t* parent, Cost& cost,
                               int32_t* latency, int* depth) const {
  int children[MaxSlots] = {};
  for (int slot = 0; slot < MaxSlots; ++slot) {
    latency[slot] = -1;
    depth[slot] = -1;
  }
  int root = -1;
  for (int slot : members) {
    int32_t up = parent[slot];
    if (up == slot) {
      if (root != -1) return false;
      root = slot;
      continue;
    }
    if (up < 0 || up >= MaxSlots || !present_[up] || !listens_[up] || link_[slot][up] < 0) return false;
    if (++children[up] > options_.fanOut) return false;
  }
  if (root == -1) return false;
  latency[root] = 0;
  depth[root] = 0;
  cost = Cost();
  for (int slot : members) {
    // Walk up to the first member whose figures are known, then fill the
    // path back down; more steps than slots means a cycle.
    int path[MaxSlots + 1];
    int length = 0;
    int at = slot;
    while (depth[at] < 0) {
      if (length > MaxSlots) return false;
      path[length++] = at;
      at = parent[at];
    }
    while (length > 0) {
      int node = path[--length];
      latency[node] = latency[parent[node]] + link_[node][parent[node]];
      depth[node] = depth[parent[node]] + 1;
    }
    cost.worst = std::max(cost.worst, latency[slot]);
    cost.sum += latency[slot];
    cost.maxDepth = std::max(cost.maxDepth, depth[slot]);
    cost.sumDepth += depth[slot];
  }
  return true;
}

int TopologyPlanner::widestFamily(const std::vector<int>& members, const Tree& tree) const {
  int children[MaxSlots] = {};
  int widest = 0;
  for (int slot : members)
    if (slot != tree.root) widest = std::max(widest, ++children[tree.parent[slot]]);
  return widest;
}

bool TopologyPlanner::grow(int root, bool listenersFirst, int bound, const std::vector<int>& members,
                           Tree& tree) const {
  // Prim's scheme with Dijkstra's keys: every outside peer keeps its best
  // way in (latency through a parent with room, then hops, then the lower
  // parent slot), updated when a parent joins or fills up.
  struct Way {
    int64_t latency;
    int depth;
    int parent;  // -1: none
  };
  auto better = [](const Way& a, const Way& b) {
    if (b.parent < 0) return a.parent >= 0;
    if (a.parent < 0) return false;
    return std::tie(a.latency, a.depth, a.parent) < std::tie(b.latency, b.depth, b.parent);
  };
  int32_t latency[MaxSlots];
  int depth[MaxSlots];
  int children[MaxSlots] = {};
  bool inside[MaxSlots] = {};
  Way way[MaxSlots];
  for (int32_t& value : tree.parent) value = -1;
  tree.root = root;
  tree.parent[root] = root;
  latency[root] = 0;
  depth[root] = 0;
  inside[root] = true;
  auto offer = [&](int slot, int up) {
    const int32_t link = link_[slot][up];
    if (link < 0) return;
    Way candidate{int64_t(latency[up]) + link, depth[up] + 1, up};
    if (better(candidate, way[slot])) way[slot] = candidate;
  };
  for (int slot : members) {
    way[slot] = Way{0, 0, -1};
    if (!inside[slot] && bound > 0) offer(slot, root);
  }
  for (size_t added = 1; added < members.size(); ++added) {
    int next = -1;
    for (int slot : members) {
      if (inside[slot] || way[slot].parent < 0) continue;
      if (next < 0) {
        next = slot;
        continue;
      }
      const int late = listenersFirst && !listens_[slot] ? 1 : 0;
      const int nextLate = listenersFirst && !listens_[next] ? 1 : 0;
      if (std::tie(late, way[slot].latency, way[slot].depth) < std::tie(nextLate, way[next].latency, way[next].depth))
        next = slot;
    }
    if (next < 0) return false;
    const int up = way[next].parent;
    tree.parent[next] = up;
    latency[next] = static_cast<int32_t>(way[next].latency);
    depth[next] = way[next].depth;
    inside[next] = true;
    if (++children[up] >= bound) {
      // up is full: whoever came in through it looks again.
      for (int slot : members) {
        if (inside[slot] || way[slot].parent != up) continue;
        way[slot] = Way{0, 0, -1};
        for (int other : members)
          if (inside[other] && listens_[other] && children[other] < bound) offer(slot, other);
      }
    }
    if (listens_[next] && children[next] < bound)
      for (int slot : members)
        if (!inside[slot]) offer(slot, next);
  }
  return evaluate(members, tree.parent, tree.cost, latency, depth);
}

void TopologyPlanner::improve(const std::vector<int>& members, int bound, Tree& tree) const {
  int32_t latency[MaxSlots];
  int depth[MaxSlots];
  int children[MaxSlots] = {};
  // Figures, cost and child counts of the current tree.
  auto refresh = [&] {
    evaluate(members, tree.parent, tree.cost, latency, depth);
    for (int& count : children) count = 0;
    for (int slot : members)
      if (slot != tree.root) ++children[tree.parent[slot]];
  };
  // Whether node lies in the subtree below top (top included).
  auto below = [&](int node, int top) {
    for (int at = node, steps = 0; steps <= MaxSlots; at = tree.parent[at], ++steps) {
      if (at == top) return true;
      if (at == tree.root) return false;
    }
    return true;
  };
  refresh();
  for (int pass = 0; pass < MaxImprovePasses; ++pass) {
    bool improved = false;
    for (int slot : members) {
      if (slot == tree.root) continue;
      for (int up : members) {
        const int32_t old = tree.parent[slot];
        if (up == slot || up == old || !listens_[up]) continue;
        const int32_t link = link_[slot][up];
        if (link < 0) continue;
        // Moving slot's subtree below up shifts every latency in it by
        // gain and every depth by lift; nothing outside it changes. So the
        // move helps exactly when (gain, lift) is below (0, 0).
        const int64_t gain = int64_t(latency[up]) + link - latency[slot];
        const int lift = depth[up] + 1 - depth[slot];
        if (gain > 0 || (gain == 0 && lift >= 0) || below(up, slot)) continue;
        if (children[up] < bound) {
          tree.parent[slot] = up;
          refresh();
          improved = true;
          continue;
        }
        // up is full: swap slot with one of up's children, which takes
        // slot's old place; keep the first swap that lowers the cost.
        for (int child : members) {
          if (child == tree.root || tree.parent[child] != up || child == slot) continue;
          if (link_[child][old] < 0 || below(old, child)) continue;
          int32_t candidate[MaxSlots];
          std::copy(tree.parent, tree.parent + MaxSlots, candidate);
          candidate[slot] = up;
          candidate[child] = old;
          Cost cost;
          int32_t trialLatency[MaxSlots];
          int trialDepth[MaxSlots];
          if (!evaluate(members, candidate, cost, trialLatency, trialDepth) || !(cost < tree.cost)) continue;
          std::copy(candidate, candidate + MaxSlots, tree.parent);
          refresh();
          improved = true;
          break;
        }
      }
    }
    if (!improved) return;
  }
}

int TopologyPlanner::plan() {
  planned_ = false;
  plan_ = TopologyPlan();
  if (!validateOptions()) return -1;
  std::vector<int> members;
  for (int slot = 0; slot < MaxSlots; ++slot)
    if (present_[slot]) members.push_back(slot);
  if (!checkFeasible(members)) return -1;

  Tree best;
  bool found = false;
  if (members.size() == 1) {
    for (int32_t& value : best.parent) value = -1;
    best.root = members[0];
    best.parent[best.root] = best.root;
    found = true;
  } else {
    // The search of the header: every root, growth order and bound, then
    // the local search at each wider bound in turn. The loop order keeps
    // the first of equal trees, from the lowest root.
    const int widest = std::min(options_.fanOut, int(members.size()) - 1);
    // When everyone listens both growth orders are the same.
    const bool allListen = std::all_of(members.begin(), members.end(), [&](int slot) { return listens_[slot]; });
    for (int root : members) {
      if (!canParent(root)) continue;
      for (bool listenersFirst : {false, true}) {
        if (listenersFirst && allListen) continue;
        for (int bound = 1; bound <= widest; ++bound) {
          Tree tree;
          if (!grow(root, listenersFirst, bound, members, tree)) continue;
          // A bound that never held anyone back grows the same tree as
          // every wider one: the wider ones need not be tried.
          const bool binding = widestFamily(members, tree) >= bound;
          for (int step = bound; step <= widest; ++step) {
            improve(members, step, tree);
            // Likewise a local search in which nobody is full finds
            // nothing more at a wider bound.
            if (widestFamily(members, tree) < step) break;
          }
          if (!found || tree.cost < best.cost) {
            best = tree;
            found = true;
          }
          if (!binding) break;
        }
      }
    }
  }
  if (!found) {
    error_ = "no tree found in which every parent accepts connections, takes at most " +
             std::to_string(options_.fanOut) +
             " children and knows its latency to each child; a larger fan-out may help";
    return -1;
  }

  TopologyPlan result;
  Cost cost;
  if (!evaluate(members, best.parent, cost, result.latency, result.depth)) {
    error_ = "internal error: the chosen parents do not form a tree";
    return -1;
  }
  result.root = best.root;
  std::copy(best.parent, best.parent + MaxSlots, result.parent);
  result.worst = cost.worst;
  result.sum = cost.sum;
  result.maxDepth = cost.maxDepth;
  TopologyDescription& description = result.description;
  description.capacity = options_.capacity;
  description.maxDataSize = options_.maxDataSize;
  description.syncTime = options_.syncTime;
  for (int slot : members) {
    description.records.push_back(lists_[slot].self);
    description.entries.push_back({slot, result.parent[slot], result.latency[slot]});
  }
  std::string why;
  if (!description.checkTree(why)) {
    error_ = "internal error: the description is not a tree: " + why;
    return -1;
  }
  plan_ = result;
  planned_ = true;
  error_.clear();
  return 0;
}

std::string TopologyPlanner::getDescription() const { return planned_ ? plan_.description.encode() : std::string(); }

std::string TopologyPlanner::summary() const {
  if (!planned_) return "no plan" + (error_.empty() ? std::string() : ": " + error_) + "\n";
  char line[256];
  std::string text;
  std::snprintf(line, sizeof(line),
                "%d peers, root slot %d (peer %d); fan-out at most %d; frame store %d packets of up to %d bytes; "
                "clock synchronisation %s\n",
                getNumPeers(), plan_.root, int(lists_[plan_.root].self.id), options_.fanOut, int(options_.capacity),
                int(options_.maxDataSize), options_.syncTime ? "on" : "off");
  text += line;
  std::snprintf(line, sizeof(line), "worst root-to-member latency %d ms, sum %lld ms, depth %d\n", int(plan_.worst),
                static_cast<long long>(plan_.sum), plan_.maxDepth);
  text += line;
  // Depth-first, children in slot order.
  std::vector<int> stack{plan_.root};
  while (!stack.empty()) {
    int slot = stack.back();
    stack.pop_back();
    const auto& self = lists_[slot].self;
    std::string indent(size_t(2 * plan_.depth[slot]), ' ');
    std::vector<int> children = plan_.children(slot);
    const char* role = slot == plan_.root ? "root" : (children.empty() ? "leaf" : "inner");
    if (slot == plan_.root) {
      std::snprintf(line, sizeof(line), "%sslot %-2d peer %-6d %-5s%s\n", indent.c_str(), slot, int(self.id), role,
                    self.listen ? "" : "  (does not accept connections)");
    } else {
      std::snprintf(line, sizeof(line), "%sslot %-2d peer %-6d %-5s link %d ms, from root %d ms%s\n",
                    indent.c_str(), slot, int(self.id), role, int(getLatency(slot, plan_.parent[slot])),
                    int(plan_.latency[slot]), self.listen ? "" : "  (does not accept connections)");
    }
    text += line;
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
  return text;
}

std::string TopologyPlanner::latencyTable() const {
  std::string text = "latency ms";
  char cell[32];
  for (int b = 0; b < MaxSlots; ++b) {
    if (!present_[b]) continue;
    std::snprintf(cell, sizeof(cell), " %5d", b);
    text += cell;
  }
  text += "\n";
  for (int a = 0; a < MaxSlots; ++a) {
    if (!present_[a]) continue;
    std::snprintf(cell, sizeof(cell), "slot %-5d", a);
    text += cell;
    for (int b = 0; b < MaxSlots; ++b) {
      if (!present_[b]) continue;
      int32_t value = getLatency(a, b);
      if (value < 0) {
        text += "     -";
      } else {
        std::snprintf(cell, sizeof(cell), " %5d", int(value));
        text += cell;
      }
    }
    text += "\n";
  }
  return text;
}

std::string TopologyPlanner::dot() const {
  if (!planned_) return std::string();
  std::string text = "digraph tessel_room {\n  rankdir=TB;\n  node [shape=box, fontname=\"monospace\"];\n";
  char line[256];
  for (int slot = 0; slot < MaxSlots; ++slot) {
    if (!plan_.isMember(slot)) continue;
    const auto& self = lists_[slot].self;
    std::snprintf(line, sizeof(line), "  s%d [label=\"slot %d\\npeer %d\\n%d ms from root\"%s%s];\n", slot, slot,
                  int(self.id), int(plan_.latency[slot]), slot == plan_.root ? ", penwidth=2" : "",
                  self.listen ? "" : ", style=dashed");
    text += line;
  }
  for (int slot = 0; slot < MaxSlots; ++slot) {
    if (!plan_.isMember(slot) || slot == plan_.root) continue;
    std::snprintf(line, sizeof(line), "  s%d -> s%d [label=\"%d ms\"];\n", int(plan_.parent[slot]), slot,
                  int(getLatency(slot, plan_.parent[slot])));
    text += line;
  }
  text += "}\n";
  return text;
}

}  // namespace zintar
