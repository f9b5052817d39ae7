// The local view of the tree as a pure function of (own slot, parent
// table). Tables that are not trees are the topology fuzzer's.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tessel/overlay/peer_client.h"

using zintar::TopologyView;

namespace {

std::vector<int32_t> table(std::initializer_list<int32_t> head) {
  std::vector<int32_t> parents(32, -1);
  std::copy(head.begin(), head.end(), parents.begin());
  return parents;
}

std::vector<int32_t> neighbours(const TopologyView& view) {
  std::vector<int32_t> list;
  for (int32_t slot = view.linkHead; slot != -1 && list.size() < 40 && (list.empty() || slot != view.linkHead);
       slot = view.next[slot])
    list.push_back(slot);
  return list;
}

}  // namespace

TEST(TopologyTest, LocalViewsOfOneTreeAndNoneWithoutNeighbours) {
  // 0 is the root with children 1 and 2; 3 hangs below 1.
  auto parents = table({0, 0, 0, 1});
  struct Case {
    int32_t own, parent;
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
    SCOPED_TRACE(c.own);
    TopologyView view;
    ASSERT_TRUE(view.build(c.own, 32, parents.data()));
    EXPECT_EQ(view.rootSlotId, 0);
    EXPECT_EQ(view.parentSlotId, c.parent);
    EXPECT_EQ(neighbours(view), c.list);
    EXPECT_EQ(view.hasChildren, c.hasChildren);
    EXPECT_EQ(std::vector<bool>(view.hasChild, view.hasChild + 4), (std::vector<bool>{true, true, false, false}));
    EXPECT_EQ(std::vector<int32_t>(view.route, view.route + 5), c.route);
  }
  // No neighbour is no topology.
  EXPECT_FALSE(TopologyView().build(0, 32, table({0}).data()));  // a lonely root
  EXPECT_FALSE(TopologyView().build(5, 32, table({0, 0}).data()));  // outside the tree
  EXPECT_FALSE(TopologyView().build(40, 32, table({0, 0}).data()));
  EXPECT_FALSE(TopologyView().build(0, 0, table({0, 0}).data()));
  EXPECT_TRUE(TopologyView().build(0, 64, std::vector<int32_t>(64, 0).data()));  // cut to 32 entries
}
