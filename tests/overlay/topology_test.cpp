// The local view of the tree as a pure function of (own slot, parent
// table), including tables that are not trees.

#include <gtest/gtest.h>

#include <vector>

#include "tessel/overlay/peer_client.h"

using zintar::TopologyView;

namespace {

std::vector<int32_t> table(std::initializer_list<int32_t> head) {
  std::vector<int32_t> parents(32, -1);
  size_t i = 0;
  for (int32_t p : head) parents[i++] = p;
  return parents;
}

std::vector<int32_t> neighbours(const TopologyView& view) {
  std::vector<int32_t> list;
  for (int32_t slot = view.linkHead; slot != -1 && list.size() < 40;) {
    list.push_back(slot);
    slot = view.next[slot];
    if (slot == view.linkHead) break;
  }
  return list;
}

}  // namespace

TEST(TopologyTest, LocalViewsOfOneTree) {
  // 0 is the root with children 1 and 2; 3 hangs below 1.
  auto parents = table({0, 0, 0, 1});
  struct Case {
    int32_t own;
    int32_t parent;
    std::vector<int32_t> list;
    bool hasChildren;
    std::vector<int32_t> route;  // slots 0..4
  } cases[] = {
      {1, 0, {0, 3}, true, {0, 1, 0, 3, -1}},
      {0, -1, {1, 2}, true, {0, 1, 2, 1, -1}},
      {2, 0, {0}, false, {0, 0, 2, 0, -1}},
      {3, 1, {1}, false, {1, 1, 1, 3, -1}},
  };
  for (const auto& c : cases) {
    TopologyView view;
    ASSERT_TRUE(view.build(c.own, 32, parents.data())) << c.own;
    EXPECT_EQ(view.rootSlotId, 0);
    EXPECT_EQ(view.parentSlotId, c.parent) << c.own;
    EXPECT_EQ(neighbours(view), c.list) << c.own;
    EXPECT_EQ(view.hasChildren, c.hasChildren) << c.own;
    EXPECT_TRUE(view.hasChild[0]);
    EXPECT_TRUE(view.hasChild[1]);
    EXPECT_FALSE(view.hasChild[2]);
    for (int32_t slot = 0; slot < 5; ++slot) EXPECT_EQ(view.route[slot], c.route[size_t(slot)]) << c.own << "->" << slot;
  }
}

TEST(TopologyTest, NoNeighbourIsNoTopology) {
  TopologyView lonelyRoot;
  EXPECT_FALSE(lonelyRoot.build(0, 32, table({0}).data()));
  TopologyView outside;
  EXPECT_FALSE(outside.build(5, 32, table({0, 0}).data()));
  TopologyView badOwn;
  EXPECT_FALSE(badOwn.build(40, 32, table({0, 0}).data()));
}

TEST(TopologyTest, TablesThatAreNotTreesNeitherHangNorOverrun) {
  std::vector<std::vector<int32_t>> broken = {
      table({1, 0}),                   // a cycle without a root
      table({1, 2, 3, 0}),             // a longer cycle
      table({0, 77, 0, 1, 255}),       // parents beyond the room
      table({0, 0, 3, 2}),             // a cycle beside a root
  };
  std::vector<int32_t> all(32);
  for (int i = 0; i < 32; ++i) all[size_t(i)] = (i + 1) % 32;  // one cycle through every slot
  broken.push_back(all);
  for (const auto& parents : broken) {
    for (int32_t own = 0; own < 6; ++own) {
      TopologyView view;
      view.build(own, 32, parents.data());
      for (int32_t slot = 0; slot < 32; ++slot) {
        EXPECT_GE(view.route[slot], -1);
        EXPECT_LT(view.route[slot], 32);
      }
      EXPECT_LE(neighbours(view).size(), 32u);
    }
  }
  // Counts beyond the table are cut to 32 entries.
  std::vector<int32_t> wide(64, 0);
  TopologyView view;
  EXPECT_TRUE(view.build(0, 64, wide.data()));
}
