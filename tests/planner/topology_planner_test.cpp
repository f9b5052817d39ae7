// The topology planner on made-up rooms: latency rules, random latency
// matrices checked against the tree rules, the best star and a smaller
// fan-out, rooms where no tree is possible, and malformed lists and
// descriptions.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tessel/planner/topology_planner.h"

using namespace zintar;

namespace {

constexpr int32_t FirstId = 1000;
constexpr auto npos = std::string::npos;

// A room made up for a test: who listens and what each peer measured.
struct Room {
  int size;
  std::vector<bool> listen;
  // measured[a][b]: what a reports for b, -1 unknown; every pair starts at all.
  std::vector<std::vector<int32_t>> measured;

  explicit Room(int n, int32_t all = -1)
      : size(n), listen(size_t(n), true), measured(size_t(n), std::vector<int32_t>(size_t(n), all)) {
    for (int slot = 0; slot < n; ++slot) measured[size_t(slot)][size_t(slot)] = 0;
  }

  void link(int a, int b, int32_t value) { measured[size_t(a)][size_t(b)] = measured[size_t(b)][size_t(a)] = value; }

  PingList list(int slot) const {
    PingList list;
    list.self = TopologyDescription::peerRecord(FirstId + slot, slot, 0x7F000001, 20000 + slot, listen[size_t(slot)],
                                                7, 300);
    for (int other = 0; other < size; ++other) list.peers.push_back({other, measured[size_t(slot)][size_t(other)]});
    list.galaxies.push_back({1, 25});
    return list;
  }

  // The latency the rules give, worked out here on its own.
  int32_t latency(int a, int b) const {
    auto known = [](int32_t v) { return v >= 0 && v < 60000; };
    int32_t there = measured[size_t(a)][size_t(b)], back = measured[size_t(b)][size_t(a)];
    if (!known(there)) return known(back) ? back : -1;
    return known(back) ? std::min(there, back) : there;
  }
};

using Cost = std::pair<int32_t, int64_t>;  // worst root-to-member latency, then the sum

Cost cost(const TopologyPlanner& planner) { return {planner.getPlan().worst, planner.getPlan().sum}; }

// A planner with options that holds the lists of room, added in order
// (by default slot by slot).
TopologyPlanner planned(const Room& room, PlannerOptions options = {}, std::vector<int> order = {}) {
  TopologyPlanner planner(options);
  for (int slot = int(order.size()); slot < room.size; ++slot) order.push_back(slot);
  for (int slot : order) {
    std::string bytes = room.list(slot).encode();
    EXPECT_EQ(planner.addPingList(bytes.data(), bytes.size()), 0) << planner.getError();
  }
  return planner;
}

// The cost of the best star around a listening root whose links to
// everyone are known, if there is one.
std::optional<Cost> bestStar(const Room& room) {
  std::optional<Cost> best;
  for (int root = 0; root < room.size; ++root) {
    Cost star{0, 0};
    bool known = room.listen[size_t(root)] || room.size == 1;
    for (int other = 0; other < room.size && known; ++other) {
      const int32_t link = room.latency(root, other);
      known = link >= 0;
      star = {std::max(star.first, link), star.second + link};
    }
    if (known && (!best || star < *best)) best = star;
  }
  return best;
}

// Every rule a description must follow, checked from its bytes: they must
// be exactly the options, the records as each peer sent its own and, in
// slot order, each member's parent with its root-to-member latency along
// the tree (0 at the root).
void expectValidTree(const Room& room, const std::string& bytes, const PlannerOptions& options,
                     const std::string& where) {
  TopologyDescription got, expected{.capacity = options.capacity, .maxDataSize = options.maxDataSize,
                                    .syncTime = options.syncTime, .records = {}, .entries = {}};
  std::string why;
  ASSERT_TRUE(TopologyDescription::parse(bytes.data(), bytes.size(), got, why)) << where << ": " << why;
  ASSERT_TRUE(got.checkTree(why)) << where << ": " << why;
  ASSERT_EQ(got.entries.size(), size_t(room.size)) << where;
  std::vector<int> parent(TopologyPlanner::MaxSlots, -1), children(TopologyPlanner::MaxSlots, 0);
  for (const auto& entry : got.entries) parent[size_t(entry.slot)] = entry.parent;
  const int root = got.root();
  for (int slot = 0; slot < room.size; ++slot) {
    int32_t total = 0;
    for (int at = slot; at != root; at = parent[size_t(at)]) total += room.latency(at, parent[size_t(at)]);
    expected.addPeer(room.list(slot).self, parent[size_t(slot)], total);
    const int up = parent[size_t(slot)];
    // The root must accept connections too, unless it is alone.
    EXPECT_TRUE(slot == root ? room.size == 1 || room.listen[size_t(root)]
                             : room.listen[size_t(up)] && room.latency(slot, up) >= 0 &&
                                   ++children[size_t(up)] <= options.fanOut)
        << where << ": slot " << slot << " below " << up << ": closed, unlinked or full";
  }
  // Read back, so that parse is checked on real figures too.
  EXPECT_EQ(got.encode(), expected.encode()) << where;
}

}  // namespace

TEST(TopologyPlannerTest, LatencyIsTheSmallerKnownMeasurementAndUnknownIsNeverZero) {
  struct Case { int32_t there, back, expected; } cases[] = {
      {10, 20, 10}, {20, 10, 10}, {-1, 20, 20}, {20, -1, 20},        {-1, -1, -1},
      {0, -1, 0},   {-7, 3, 3},   {60000, 5, 5}, {60000, -1, -1},    {0, 0, 0},
  };
  for (const Case& c : cases) {
    Room room(2);
    room.measured[0][1] = c.there;
    room.measured[1][0] = c.back;
    TopologyPlanner planner = planned(room);
    const auto both = std::make_pair(planner.getLatency(0, 1), planner.getLatency(1, 0));
    EXPECT_EQ(both, std::make_pair(c.expected, c.expected)) << c.there << "/" << c.back;
    EXPECT_EQ(planner.plan() == 0, c.expected >= 0) << c.there << "/" << c.back << ": " << planner.getError();
  }
}

TEST(TopologyPlannerTest, RandomRoomsGiveValidTreesNeverWorseThanTheBestStarOrASmallerFanOut) {
  std::mt19937 random(20240613);
  int plannedRooms = 0, starsCompared = 0;
  for (int round = 0; round < 160; ++round) {
    const int n = std::uniform_int_distribution<int>(1, 32)(random);
    Room room(n);
    std::bernoulli_distribution listens(std::vector<double>{1.0, 0.8, 0.4}[size_t(round % 3)]);
    std::bernoulli_distribution unknown(std::vector<double>{0.0, 0.15, 0.5}[size_t((round / 3) % 3)]);
    std::uniform_int_distribution<int32_t> latency(0, 150);
    for (int a = 0; a < n; ++a) {
      room.listen[size_t(a)] = listens(random);
      for (int b = 0; b < n; ++b)
        if (a != b) room.measured[size_t(a)][size_t(b)] = unknown(random) ? -1 : latency(random);
    }
    // Some rooms with room for a star, the rest with a tight bound.
    const PlannerOptions options{.fanOut = round % 4 == 0 ? 31 : std::uniform_int_distribution<int>(1, 6)(random),
                                 .capacity = 100 + round,
                                 .syncTime = round % 2 == 0};
    const std::string where = "round " + std::to_string(round);

    TopologyPlanner planner = planned(room, options);
    const std::optional<Cost> star = options.fanOut >= n - 1 ? bestStar(room) : std::nullopt;
    if (planner.plan() != 0) {
      EXPECT_TRUE(!star && !planner.getError().empty() && planner.getDescription().empty())
          << where << ": failed, a star " << (star ? "exists" : "does not exist") << ": " << planner.getError();
      continue;
    }
    ++plannedRooms;
    const std::string bytes = planner.getDescription();
    expectValidTree(room, bytes, options, where);
    starsCompared += star.has_value();
    EXPECT_LE(cost(planner), star.value_or(cost(planner))) << where << ": worse than the best star";
    // One more child per node never gives a worse tree.
    if (options.fanOut < 31) {
      TopologyPlanner wider =
          planned(room, {options.fanOut + 1, options.capacity, options.maxDataSize, options.syncTime});
      ASSERT_EQ(wider.plan(), 0) << where << ": one more child: " << wider.getError();
      EXPECT_LE(cost(wider), cost(planner)) << where << ": one more child";
    }
    // Equal input, in another order of lists, gives the same bytes.
    if (round % 4 != 1) continue;
    std::vector<int> shuffled(static_cast<size_t>(n));
    std::iota(shuffled.begin(), shuffled.end(), 0);
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    TopologyPlanner again = planned(room, options, shuffled);
    ASSERT_EQ(again.plan(), 0) << where;
    EXPECT_EQ(again.getDescription(), bytes) << where;
  }
  // The seed must exercise both sides.
  EXPECT_TRUE(plannedRooms > 70 && starsCompared > 20) << plannedRooms << " planned, " << starsCompared << " stars";
}

TEST(TopologyPlannerTest, ChoosesTheCentreAndRelaysThroughCloseListeningParents) {
  // Slot 2 is close to everyone; 3 and 4 sit near 1 and far from the rest.
  Room room(5, 100);
  for (int other : {0, 1, 3, 4}) room.link(2, other, 20);
  room.link(1, 3, 5);
  room.link(1, 4, 5);
  // The root, the worst and summed figures and each slot's parent.
  auto shape = [](const TopologyPlanner& planner) {
    const auto& plan = planner.getPlan();
    return std::vector<int64_t>{plan.root,      plan.worst,     plan.sum,       plan.parent[0], plan.parent[1],
                                plan.parent[2], plan.parent[3], plan.parent[4], plan.parent[5]};
  };
  // 3 and 4 reach the root directly at 20; through 1 they would cost 25.
  TopologyPlanner planner = planned(room);
  ASSERT_EQ(planner.plan(), 0) << planner.getError();
  EXPECT_EQ(shape(planner), (std::vector<int64_t>{2, 20, 80, 2, 2, 2, 2, 2, -1}));

  // With a fan-out of 2 the root takes two, and 3 and 4 relay through 1.
  TopologyPlanner bounded = planned(room, {.fanOut = 2});
  ASSERT_EQ(bounded.plan(), 0) << bounded.getError();
  EXPECT_EQ(shape(bounded), (std::vector<int64_t>{2, 25, 90, 2, 2, 2, 1, 1, -1}));
  EXPECT_NE(bounded.summary().find("root slot 2"), npos) << bounded.summary();
  EXPECT_NE(bounded.dot().find("s1 -> s3"), npos) << bounded.dot();

  // A peer that does not listen is never a parent, even the closest one.
  room.listen[1] = false;
  TopologyPlanner closed = planned(room, {.fanOut = 2});
  ASSERT_EQ(closed.plan(), 0) << closed.getError();
  expectValidTree(room, closed.getDescription(), {.fanOut = 2}, "closed");
}

TEST(TopologyPlannerTest, SaysWhyWhenNoTreeIsPossible) {
  // Every pair at latency but the cut ones, unknown; closed: the slots that do not listen; reason null: a tree.
  struct Case { int size, fanOut; int32_t latency; std::vector<int> closed; std::vector<std::pair<int, int>> cut;
                const char* reason; };
  const Case cases[] = {
      {3, 4, 10, {0, 1, 2}, {}, "no peer accepts connections"},
      {4, 4, -1, {}, {}, "no latency between any two peers"},
      {4, 4, 10, {}, {{3, 0}, {3, 1}, {3, 2}}, "slot 3 (peer 1003) has no known latency to any other peer"},
      {3, 4, 10, {1, 2}, {{0, 2}},
       "slot 2 (peer 1002) does not accept connections and has no known latency to any peer that does"},
      {4, 2, 10, {1, 2, 3}, {}, "room for 2 children, and 3 are needed"},
      {1, 0, 10, {}, {}, "fan-out 0 is outside 1 to 31"},
      {0, 4, 10, {}, {}, "no ping lists"},
      // A room of one needs no listener: it is its own root. One listener with exactly room enough for all.
      {1, 4, 10, {0}, {}, nullptr}, {3, 2, 10, {1, 2}, {}, nullptr},
  };
  for (const Case& c : cases) {
    Room room(c.size, c.latency);
    for (int slot : c.closed) room.listen[size_t(slot)] = false;
    for (auto [a, b] : c.cut) room.link(a, b, -1);
    TopologyPlanner planner = planned(room, {.fanOut = c.fanOut});
    const std::string reason = c.reason ? c.reason : "";
    EXPECT_EQ(planner.plan(), c.reason ? -1 : 0) << reason << ": " << planner.getError();
    EXPECT_NE(planner.getError().find(reason), npos) << reason << ": " << planner.getError();
    EXPECT_EQ(planner.getDescription().empty(), c.reason != nullptr) << reason;
    EXPECT_EQ(planner.getPlan().root, c.reason ? -1 : 0) << reason;
  }
}

TEST(TopologyPlannerTest, RefusesMalformedOrConflictingLists) {
  Room room(3);
  const std::string good = room.list(1).encode();
  ASSERT_EQ(good.size(), 58u + 5 * 3 + 8);
  auto changed = [&](size_t offset, int32_t value, size_t size = 4) {
    return good.substr(0, offset) + std::string(reinterpret_cast<char*>(&value), size) + good.substr(offset + size);
  };
  auto edited = [&](int slot, auto edit) {  // slot's list with its own record edited
    PingList list = room.list(slot);
    return edit(list.self), list.encode();
  };
  struct Case { const char* name; std::string bytes; const char* reason; } cases[] = {
      {"truncated", good.substr(0, good.size() - 1), "too short for its 1 galaxy"},
      {"trailing byte", good + "x", "1 bytes after the end"},
      {"negative peer count", changed(50, -1), "outside 0 to 32"},
      {"negative galaxy count", changed(54 + 15, -1), "negative"},
      {"huge galaxy count", changed(54 + 15, 1 << 29), "too short for its"},
      {"entry slot 40", changed(54 + 5, 40, 1), "names slot 40"},
      {"slot listed twice", changed(54 + 5, good[54], 1), "listed twice"},
      {"own slot 32", edited(1, [](auto& self) { self.roomId.setSlot(32); }), "slot 32"},
      {"empty own record", edited(1, [](auto& self) { self.id = -1; }), "empty"},
      {"second list for slot 1", good, "two ping lists for slot 1"},
      {"its peer id again", edited(2, [](auto& self) { self.id = FirstId + 1; }), "peer 1001"},
      {"another room", edited(2, [](auto& self) { self.roomId.setMinor(301); }), "room"},
  };
  for (const Case& c : cases) {
    TopologyPlanner planner;
    ASSERT_EQ(planner.addPingList(good.data(), good.size()), 0);
    EXPECT_EQ(planner.addPingList(c.bytes.data(), c.bytes.size()), -1) << c.name;
    EXPECT_NE(planner.getError().find(c.reason), npos) << c.name << ": " << planner.getError();
    EXPECT_EQ(planner.getNumPeers(), 1) << c.name;
  }
}

TEST(TopologyDescriptionTest, CheckFindsEveryKindOfNonTreeAndParseRefusesBadBytes) {
  Room room(4);
  struct Case { std::vector<int> parents; const char* fault; } cases[] = {  // fault null: a tree
      {{0, 0, 1, 1}, nullptr}, {{1, 0, 0, 0}, "0 roots"}, {{0, 1, 0, 0}, "2 roots"},
      {{0, 2, 3, 1}, "cycle"}, {{0, 0, 0, -1}, "slot 3 has no tree entry"},
  };
  TopologyDescription parsed;
  std::string tree, why;
  for (const Case& c : cases) {
    TopologyDescription candidate{.capacity = 64, .maxDataSize = 900, .syncTime = true, .records = {}, .entries = {}};
    for (int slot = 0; slot < 4; ++slot) candidate.records.push_back(room.list(slot).self);
    for (size_t slot = 0; slot < c.parents.size(); ++slot)
      if (c.parents[slot] >= 0) candidate.entries.push_back({int(slot), c.parents[slot], int32_t(slot) * 11});
    // Through the bytes, as a peer would receive it.
    const std::string bytes = candidate.encode();
    ASSERT_TRUE(TopologyDescription::parse(bytes.data(), bytes.size(), parsed, why)) << why;
    EXPECT_EQ(parsed.encode(), bytes);
    EXPECT_EQ(parsed.checkTree(why), c.fault == nullptr) << why;
    EXPECT_NE(why.find(c.fault ? c.fault : ""), npos) << why;
    if (c.fault == nullptr) tree = bytes;
  }
  for (size_t size : {tree.size() - 1, size_t(12)})
    EXPECT_FALSE(TopologyDescription::parse(tree.data(), size, parsed, why)) << size;
  tree[tree.size() - 6] = 32;  // the last entry's slot, one past the last
  EXPECT_FALSE(TopologyDescription::parse(tree.data(), tree.size(), parsed, why));
  EXPECT_NE(why.find("slot 32"), npos) << why;
}
