// Reliable overlay traffic over lossy links: every engine's ENet host loses
// a tenth of the datagrams it receives (a seeded dropper on ENet's
// intercept hook), and every broadcast, immediate or through the frame
// stores, and every direct packet must still arrive, once, with direct
// packets in the order they were sent.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/datagram_dropper.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

using tessel_test::DatagramDropper;
using tessel_test::LoopbackRoom;
using zintar::TesselJob;

TEST(LossyLinkTest, ReliablePacketsArriveDespiteTenPercentLoss) {
  DatagramDropper dropper(16, 10);  // declared first: the engines stop using it before it goes
  // 0 is the root; 1 and 2 are inner nodes with leaves 3, 4 and 5.
  LoopbackRoom room({0, 0, 0, 1, 1, 2}, 3);
  ASSERT_TRUE(room.connect());
  const int members = room.size();
  const int32_t perMember = 40, immediateBase = 50000, directBase = 100000;
  for (int slot = 0; slot < members; ++slot) room.engine(slot).getClient().setIntercept(DatagramDropper::intercept);
  // Each member broadcasts perMember values through the stores and as many
  // immediately, and sends as many direct packets to the member three
  // slots on, whose path crosses the root.
  std::vector<int32_t> everyCast;
  for (int32_t base : {0, immediateBase})
    for (int32_t origin = 0; origin < members; ++origin)
      for (int32_t round = 0; round < perMember; ++round) everyCast.push_back(base + origin * 1000 + round);
  for (int32_t round = 0; round < perMember; ++round)
    for (int32_t origin = 0; origin < members; ++origin) {
      int32_t values[3] = {origin * 1000 + round, immediateBase + origin * 1000 + round,
                           directBase + origin * 1000 + round};
      auto& engine = room.engine(origin);
      ASSERT_EQ(engine.castPacket(reinterpret_cast<const char*>(&values[0]), 4, true, false), 0);
      ASSERT_EQ(engine.castPacket(reinterpret_cast<const char*>(&values[1]), 4, true, true), 0);
      ASSERT_EQ(engine.sendPacket(room.peerId((origin + 3) % members), reinterpret_cast<const char*>(&values[2]), 4,
                                  true), 0);
    }

  std::vector<std::vector<TesselJob>> jobs(static_cast<size_t>(members));
  int pass = 0;
  EXPECT_TRUE(tessel_test::waitFor(
      [&] {
        bool all = true;
        bool pull = ++pass % 20 == 0;
        for (int slot = 0; slot < members; ++slot) {
          if (pull) room.engine(slot).peekPacket(true);
          room.drain(slot, jobs[size_t(slot)]);
          all = all && tessel_test::messageValues(jobs[size_t(slot)]).size() >= everyCast.size() + perMember;
        }
        return all;
      },
      std::chrono::milliseconds(60000)));
  for (int slot = 0; slot < members; ++slot) {
    std::vector<int32_t> casts, directs, inOrder;
    for (int32_t value : tessel_test::messageValues(jobs[size_t(slot)]))
      (value >= directBase ? directs : casts).push_back(value);
    std::sort(casts.begin(), casts.end());
    EXPECT_EQ(casts, everyCast) << "broadcasts at " << slot;
    int32_t sender = (slot + 3) % members;
    for (int32_t round = 0; round < perMember; ++round) inOrder.push_back(directBase + sender * 1000 + round);
    EXPECT_EQ(directs, inOrder) << "direct packets at " << slot;
  }
  EXPECT_GT(dropper.dropped(), 0u);
}
