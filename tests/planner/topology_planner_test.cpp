// The topology planner on made-up rooms: latency rules, random latency
// matrices checked against the tree rules, the best star and a smaller
// fan-out, rooms where no tree is possible, and malformed lists and
// descriptions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tessel/planner/topology_planner.h"

using zintar::PingList;
using zintar::PlannerOptions;
using zintar::TopologyDescription;
using zintar::TopologyPlanner;

namespace {

constexpr int32_t FirstId = 1000;

// A room made up for a test: who listens and what each peer measured.
struct Room {
  int size = 0;
  std::vector<bool> listen;
  // measured[a][b]: what a reports for b, -1 unknown.
  std::vector<std::vector<int32_t>> measured;

  explicit Room(int n) : size(n), listen(size_t(n), true), measured(size_t(n), std::vector<int32_t>(size_t(n), -1)) {
    for (int slot = 0; slot < n; ++slot) measured[size_t(slot)][size_t(slot)] = 0;
  }

  PingList list(int slot) const {
    PingList list;
    list.self.id = FirstId + slot;
    list.self.roomId.setMajor(7);
    list.self.roomId.setMinor(300);
    list.self.roomId.setSlot(uint32_t(slot));
    list.self.ip = 0x7F000001;
    list.self.port = uint16_t(20000 + slot);
    list.self.listen = listen[size_t(slot)] ? 1 : 0;
    for (int other = 0; other < size; ++other) list.peers.push_back({other, measured[size_t(slot)][size_t(other)]});
    list.galaxies.push_back({1, 25});
    return list;
  }

  // The latency the rules give, worked out here on its own.
  int32_t latency(int a, int b) const {
    int32_t there = measured[size_t(a)][size_t(b)];
    int32_t back = measured[size_t(b)][size_t(a)];
    if (there < 0 || there >= 60000) return back < 0 || back >= 60000 ? -1 : back;
    if (back < 0 || back >= 60000) return there;
    return std::min(there, back);
  }
};

void addAll(TopologyPlanner& planner, const Room& room, const std::vector<int>& order) {
  for (int slot : order) {
    std::string bytes = room.list(slot).encode();
    ASSERT_EQ(planner.addPingList(bytes.data(), bytes.size()), 0) << planner.getError();
  }
}

std::vector<int> inOrder(int n) {
  std::vector<int> slots;
  for (int i = 0; i < n; ++i) slots.push_back(i);
  return slots;
}

// Worst and sum of the best star around a listening root whose links to
// everyone are known; false when there is none.
bool bestStar(const Room& room, int32_t& worst, int64_t& sum) {
  bool found = false;
  for (int root = 0; root < room.size; ++root) {
    if (!room.listen[size_t(root)] && room.size > 1) continue;
    int32_t w = 0;
    int64_t s = 0;
    bool ok = true;
    for (int other = 0; other < room.size && ok; ++other) {
      int32_t link = room.latency(root, other);
      ok = link >= 0;
      w = std::max(w, link);
      s += link;
    }
    if (ok && (!found || w < worst || (w == worst && s < sum))) {
      worst = w;
      sum = s;
      found = true;
    }
  }
  return found;
}

// Every rule a description must follow, checked from its bytes.
void expectValidTree(const Room& room, const std::string& bytes, const PlannerOptions& options,
                     const std::string& where) {
  TopologyDescription description;
  std::string why;
  ASSERT_TRUE(TopologyDescription::parse(bytes.data(), bytes.size(), description, why)) << where << ": " << why;
  ASSERT_TRUE(description.checkTree(why)) << where << ": " << why;
  EXPECT_EQ(description.capacity, options.capacity) << where;
  EXPECT_EQ(description.maxDataSize, options.maxDataSize) << where;
  EXPECT_EQ(description.syncTime, options.syncTime) << where;
  ASSERT_EQ(description.records.size(), size_t(room.size)) << where;
  ASSERT_EQ(description.entries.size(), size_t(room.size)) << where;
  std::vector<int> parent(size_t(room.size), -1);
  std::vector<int32_t> figure(size_t(room.size), -1);
  for (size_t i = 0; i < description.records.size(); ++i) {
    PingList expected = room.list(int(i));
    EXPECT_EQ(std::memcmp(&description.records[i], &expected.self, sizeof(expected.self)), 0) << where;
  }
  for (const auto& entry : description.entries) {
    parent[size_t(entry.slot)] = entry.parent;
    figure[size_t(entry.slot)] = entry.ping;
  }
  std::vector<int> children(size_t(room.size), 0);
  const int root = description.root();
  for (int slot = 0; slot < room.size; ++slot) {
    if (slot == root) continue;
    int up = parent[size_t(slot)];
    EXPECT_TRUE(room.listen[size_t(up)]) << where << ": slot " << slot << " hangs below non-listening " << up;
    EXPECT_GE(room.latency(slot, up), 0) << where << ": link " << slot << "-" << up << " has no known latency";
    ++children[size_t(up)];
  }
  for (int slot = 0; slot < room.size; ++slot)
    EXPECT_LE(children[size_t(slot)], options.fanOut) << where << ": fan-out at slot " << slot;
  if (room.size > 1) {
    EXPECT_TRUE(room.listen[size_t(root)]) << where << ": the root must accept connections";
  }
  // Figures: root-to-member latency along the tree, 0 at the root.
  for (int slot = 0; slot < room.size; ++slot) {
    int32_t total = 0;
    for (int at = slot; at != root; at = parent[size_t(at)]) total += room.latency(at, parent[size_t(at)]);
    EXPECT_EQ(figure[size_t(slot)], total) << where << ": figure of slot " << slot;
  }
}

TEST(TopologyPlannerTest, LatencyIsTheSmallerKnownMeasurementAndUnknownIsNeverZero) {
  struct Case {
    int32_t there;
    int32_t back;
    int32_t expected;
  };
  const Case cases[] = {
      {10, 20, 10}, {20, 10, 10}, {-1, 20, 20}, {20, -1, 20}, {-1, -1, -1},
      {0, -1, 0},   {-7, 3, 3},   {60000, 5, 5}, {60000, -1, -1}, {0, 0, 0},
  };
  for (const Case& c : cases) {
    Room room(2);
    room.measured[0][1] = c.there;
    room.measured[1][0] = c.back;
    TopologyPlanner planner;
    addAll(planner, room, {0, 1});
    EXPECT_EQ(planner.getLatency(0, 1), c.expected) << c.there << "/" << c.back;
    EXPECT_EQ(planner.getLatency(1, 0), c.expected) << c.there << "/" << c.back;
    EXPECT_EQ(planner.plan() == 0, c.expected >= 0) << c.there << "/" << c.back << ": " << planner.getError();
  }
}

TEST(TopologyPlannerTest, RandomRoomsGiveValidTreesNeverWorseThanTheBestStarOrASmallerFanOut) {
  std::mt19937 random(20240613);
  int planned = 0;
  int starsCompared = 0;
  for (int round = 0; round < 160; ++round) {
    const int n = std::uniform_int_distribution<int>(1, 32)(random);
    Room room(n);
    const double listenShare = std::vector<double>{1.0, 0.8, 0.4}[size_t(round % 3)];
    const double unknownShare = std::vector<double>{0.0, 0.15, 0.5}[size_t((round / 3) % 3)];
    std::bernoulli_distribution listens(listenShare);
    std::bernoulli_distribution unknown(unknownShare);
    std::uniform_int_distribution<int32_t> latency(0, 150);
    for (int a = 0; a < n; ++a) {
      room.listen[size_t(a)] = listens(random);
      for (int b = 0; b < n; ++b)
        if (a != b) room.measured[size_t(a)][size_t(b)] = unknown(random) ? -1 : latency(random);
    }
    PlannerOptions options;
    // Some rooms with room for a star, the rest with a tight bound.
    options.fanOut = round % 4 == 0 ? 31 : std::uniform_int_distribution<int>(1, 6)(random);
    options.capacity = 100 + round;
    options.syncTime = round % 2 == 0;
    const std::string where = "round " + std::to_string(round) + " n " + std::to_string(n) + " fan-out " +
                              std::to_string(options.fanOut);

    TopologyPlanner planner(options);
    addAll(planner, room, inOrder(n));
    int32_t starWorst = 0;
    int64_t starSum = 0;
    const bool starPossible = options.fanOut >= n - 1 && bestStar(room, starWorst, starSum);
    if (planner.plan() != 0) {
      EXPECT_FALSE(starPossible) << where << ": failed although a star exists: " << planner.getError();
      EXPECT_FALSE(planner.getError().empty()) << where;
      EXPECT_TRUE(planner.getDescription().empty()) << where;
      continue;
    }
    ++planned;
    const std::string bytes = planner.getDescription();
    expectValidTree(room, bytes, options, where);
    if (starPossible) {
      ++starsCompared;
      EXPECT_LE(planner.getPlan().worst, starWorst) << where;
      if (planner.getPlan().worst == starWorst) {
        EXPECT_LE(planner.getPlan().sum, starSum) << where;
      }
    }

    // One more child per node never gives a worse tree.
    if (options.fanOut < 31) {
      PlannerOptions wider = options;
      ++wider.fanOut;
      TopologyPlanner widerPlanner(wider);
      addAll(widerPlanner, room, inOrder(n));
      ASSERT_EQ(widerPlanner.plan(), 0) << where << ": fan-out " << wider.fanOut << ": " << widerPlanner.getError();
      const auto& plan = widerPlanner.getPlan();
      EXPECT_TRUE(plan.worst < planner.getPlan().worst ||
                  (plan.worst == planner.getPlan().worst && plan.sum <= planner.getPlan().sum))
          << where << ": " << plan.worst << "/" << plan.sum << " with one more child";
    }
    // Equal input, in another order of lists, gives the same bytes.
    if (round % 4 != 1) continue;
    std::vector<int> shuffled = inOrder(n);
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    TopologyPlanner again(options);
    addAll(again, room, shuffled);
    ASSERT_EQ(again.plan(), 0) << where;
    EXPECT_EQ(again.getDescription(), bytes) << where;
  }
  // The seed must exercise both sides.
  EXPECT_GT(planned, 70);
  EXPECT_GT(starsCompared, 20);
}

TEST(TopologyPlannerTest, ChoosesTheCentreAndRelaysThroughCloseParents) {
  // Slot 2 is close to everyone; 3 and 4 sit near 1 and far from the rest.
  Room room(5);
  const int32_t near = 5;
  const int32_t far = 100;
  for (int a = 0; a < 5; ++a)
    for (int b = 0; b < 5; ++b)
      if (a != b) room.measured[size_t(a)][size_t(b)] = far;
  auto link = [&](int a, int b, int32_t value) {
    room.measured[size_t(a)][size_t(b)] = value;
    room.measured[size_t(b)][size_t(a)] = value;
  };
  for (int other : {0, 1, 3, 4}) link(2, other, 20);
  link(1, 3, near);
  link(1, 4, near);
  TopologyPlanner planner;
  addAll(planner, room, inOrder(5));
  ASSERT_EQ(planner.plan(), 0) << planner.getError();
  const auto& plan = planner.getPlan();
  EXPECT_EQ(plan.root, 2);
  EXPECT_EQ(plan.worst, 20);
  // 3 and 4 reach the root directly at 20; through 1 they would cost 25.
  for (int slot : {0, 1, 3, 4}) EXPECT_EQ(plan.parent[slot], 2) << slot;

  // With a fan-out of 2 the root takes two, and 3 and 4 relay through 1.
  PlannerOptions tight;
  tight.fanOut = 2;
  TopologyPlanner bounded(tight);
  addAll(bounded, room, inOrder(5));
  ASSERT_EQ(bounded.plan(), 0) << bounded.getError();
  const auto& narrow = bounded.getPlan();
  EXPECT_EQ(narrow.parent[3], 1);
  EXPECT_EQ(narrow.parent[4], 1);
  EXPECT_EQ(narrow.worst, 25);
  EXPECT_NE(bounded.summary().find("root slot 2"), std::string::npos) << bounded.summary();
  EXPECT_NE(bounded.dot().find("s1 -> s3"), std::string::npos) << bounded.dot();

  // A peer that does not listen is never a parent, even the closest one.
  room.listen[1] = false;
  TopologyPlanner closed(tight);
  addAll(closed, room, inOrder(5));
  ASSERT_EQ(closed.plan(), 0) << closed.getError();
  for (int slot = 0; slot < 5; ++slot) EXPECT_FALSE(slot != 1 && closed.getPlan().parent[slot] == 1) << slot;
  expectValidTree(room, closed.getDescription(), tight, "closed");
}

TEST(TopologyPlannerTest, SaysWhyWhenNoTreeIsPossible) {
  struct Case {
    const char* name;
    int size;
    std::vector<int> closed;   // slots that do not listen
    std::vector<int> silent;   // slots with no known latency to anyone
    std::vector<std::pair<int, int>> cut;  // pairs whose latency is unknown
    bool allUnknown;
    int fanOut;
    const char* reason;
  };
  const Case cases[] = {
      {"nobody listens", 3, {0, 1, 2}, {}, {}, false, 4, "no peer accepts connections"},
      {"all latencies unknown", 4, {}, {}, {}, true, 4, "no latency between any two peers"},
      {"one peer cut off", 4, {}, {3}, {}, false, 4, "slot 3 (peer 1003) has no known latency to any other peer"},
      {"closed peer knows only closed peers", 3, {1, 2}, {}, {{0, 2}}, false, 4,
       "slot 2 (peer 1002) does not accept connections and has no known latency to any peer that does"},
      {"fan-out too small", 4, {1, 2, 3}, {}, {}, false, 2, "room for 2 children, and 3 are needed"},
  };
  for (const Case& c : cases) {
    Room room(c.size);
    for (int a = 0; a < c.size; ++a)
      for (int b = 0; b < c.size; ++b)
        if (a != b) room.measured[size_t(a)][size_t(b)] = c.allUnknown ? -1 : 10;
    for (int slot : c.closed) room.listen[size_t(slot)] = false;
    for (auto [a, b] : c.cut) room.measured[size_t(a)][size_t(b)] = room.measured[size_t(b)][size_t(a)] = -1;
    for (int slot : c.silent)
      for (int other = 0; other < c.size; ++other)
        if (other != slot) room.measured[size_t(slot)][size_t(other)] = room.measured[size_t(other)][size_t(slot)] = -1;
    PlannerOptions options;
    options.fanOut = c.fanOut;
    TopologyPlanner planner(options);
    addAll(planner, room, inOrder(c.size));
    EXPECT_EQ(planner.plan(), -1) << c.name;
    EXPECT_NE(planner.getError().find(c.reason), std::string::npos) << c.name << ": " << planner.getError();
    EXPECT_TRUE(planner.getDescription().empty()) << c.name;
  }

  TopologyPlanner empty;
  EXPECT_EQ(empty.plan(), -1);
  EXPECT_NE(empty.getError().find("no ping lists"), std::string::npos);

  // A room of one needs no listener: it is its own root.
  Room alone(1);
  alone.listen[0] = false;
  TopologyPlanner single;
  addAll(single, alone, {0});
  ASSERT_EQ(single.plan(), 0) << single.getError();
  EXPECT_EQ(single.getPlan().root, 0);

  PlannerOptions bad;
  bad.fanOut = 0;
  TopologyPlanner badOptions(bad);
  addAll(badOptions, alone, {0});
  EXPECT_EQ(badOptions.plan(), -1);
  EXPECT_NE(badOptions.getError().find("fan-out"), std::string::npos);
}

TEST(TopologyPlannerTest, RefusesMalformedOrConflictingLists) {
  Room room(3);
  const std::string good = room.list(1).encode();
  ASSERT_EQ(good.size(), 58u + 5 * 3 + 8);
  auto withInt = [&](size_t offset, int32_t value) {
    std::string bytes = good;
    std::memcpy(bytes.data() + offset, &value, 4);
    return bytes;
  };
  std::string badSlot = good;
  badSlot[54 + 5] = 40;
  std::string twice = good;
  twice[54 + 5] = twice[54];
  PingList outOfRange = room.list(1);
  outOfRange.self.roomId.setSlot(32);
  PingList empty = room.list(1);
  empty.self.id = -1;
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"truncated", good.substr(0, good.size() - 1), "too short for its 1 galaxy"},
      {"trailing byte", good + "x", "1 bytes after the end"},
      {"negative peer count", withInt(50, -1), "outside 0 to 32"},
      {"negative galaxy count", withInt(54 + 15, -2), "negative"},
      {"huge galaxy count", withInt(54 + 15, 1 << 29), "too short for its"},
      {"entry slot 40", badSlot, "names slot 40"},
      {"slot listed twice", twice, "listed twice"},
      {"own slot 32", outOfRange.encode(), "slot 32"},
      {"empty own record", empty.encode(), "empty"},
  };
  for (const Case& c : cases) {
    TopologyPlanner planner;
    EXPECT_EQ(planner.addPingList(c.bytes.data(), c.bytes.size()), -1) << c.name;
    EXPECT_NE(planner.getError().find(c.reason), std::string::npos) << c.name << ": " << planner.getError();
    EXPECT_EQ(planner.getNumPeers(), 0) << c.name;
  }

  TopologyPlanner planner;
  ASSERT_EQ(planner.addPingList(good.data(), good.size()), 0);
  EXPECT_EQ(planner.addPingList(good.data(), good.size()), -1);
  EXPECT_NE(planner.getError().find("two ping lists for slot 1"), std::string::npos) << planner.getError();
  PingList sameId = room.list(2);
  sameId.self.id = FirstId + 1;
  EXPECT_EQ(planner.addPingList(sameId), -1);
  EXPECT_NE(planner.getError().find("peer 1001"), std::string::npos) << planner.getError();
  PingList otherRoom = room.list(2);
  otherRoom.self.roomId.setMinor(301);
  EXPECT_EQ(planner.addPingList(otherRoom), -1);
  EXPECT_NE(planner.getError().find("room"), std::string::npos) << planner.getError();
  EXPECT_EQ(planner.getNumPeers(), 1);
}

TEST(TopologyPlannerTest, DescriptionCheckFindsEveryKindOfNonTree) {
  Room room(4);
  TopologyDescription description;
  for (int slot = 0; slot < 4; ++slot) description.records.push_back(room.list(slot).self);
  auto withParents = [&](std::vector<int> parents) {
    TopologyDescription copy = description;
    for (size_t slot = 0; slot < parents.size(); ++slot)
      if (parents[slot] >= 0) copy.entries.push_back({int(slot), parents[slot], 0});
    return copy;
  };
  struct Case {
    std::vector<int> parents;
    const char* fault;  // null: a tree
  };
  const Case cases[] = {
      {{0, 0, 1, 1}, nullptr},
      {{1, 0, 0, 0}, "0 roots"},
      {{0, 1, 0, 0}, "2 roots"},
      {{0, 2, 3, 1}, "cycle"},
      {{0, 0, 0, -1}, "slot 3 has no tree entry"},
  };
  for (const Case& c : cases) {
    TopologyDescription candidate = withParents(c.parents);
    // Through the bytes, as a peer would receive it.
    std::string bytes = candidate.encode();
    TopologyDescription parsed;
    std::string why;
    ASSERT_TRUE(TopologyDescription::parse(bytes.data(), bytes.size(), parsed, why)) << why;
    EXPECT_EQ(parsed.encode(), bytes);
    EXPECT_EQ(parsed.checkTree(why), c.fault == nullptr) << why;
    if (c.fault != nullptr) {
      EXPECT_NE(why.find(c.fault), std::string::npos) << why;
    }
  }
  std::string bytes = withParents({0, 0, 1, 1}).encode();
  TopologyDescription parsed;
  std::string why;
  EXPECT_FALSE(TopologyDescription::parse(bytes.data(), bytes.size() - 1, parsed, why));
  EXPECT_FALSE(TopologyDescription::parse(bytes.data(), 12, parsed, why));
  bytes[bytes.size() - 6] = 33;  // the last entry's slot
  EXPECT_FALSE(TopologyDescription::parse(bytes.data(), bytes.size(), parsed, why));
  EXPECT_NE(why.find("slot 33"), std::string::npos) << why;
}

}  // namespace
