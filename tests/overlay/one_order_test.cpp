// Mode 7, one order everywhere, between real engines on 127.0.0.1: every
// member delivers every ordered broadcast once, in the root's log order,
// whatever the store's size, on clean and on lossy links, with a room key
// or without.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/datagram_dropper.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

using tessel_test::DatagramDropper;
using tessel_test::LoopbackRoom;
using zintar::TesselJob;

TEST(OneOrderTest, EveryMemberDeliversEveryBurstInTheRootsOrder) {
  const struct {
    int lossPercent;
    uint32_t seed;
    bool keyed;
  } cases[] = {{0, 1, false}, {10, 7, false}, {10, 7, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.lossPercent << "% loss" << (c.keyed ? ", with a room key" : ""));
    DatagramDropper dropper(c.seed, c.lossPercent);
    // Depth 3: 0 the root; 1 and 2 below it; 3 and 4 below 1; 5, 6 below 3
    // and 7 below 4. A frame store of 64 packets, far below the burst.
    LoopbackRoom room({0, 0, 0, 1, 1, 3, 3, 4}, 7, false, 64);
    if (c.keyed) {
      ASSERT_TRUE(room.setRoomKey(std::string(32, 'k')));
    }
    ASSERT_TRUE(room.connect());
    const int members = room.size();
    if (c.lossPercent > 0)
      for (int slot = 0; slot < members; ++slot) room.engine(slot).getClient().setIntercept(DatagramDropper::intercept);

    const int32_t perMember = 40;
    std::vector<std::thread> casters;
    for (int slot = 0; slot < members; ++slot)
      casters.emplace_back([&, slot] {
        for (int32_t value = slot * 1000; value < slot * 1000 + perMember; ++value)
          // Unreliable on purpose: mode 7 sends ordered broadcasts reliably.
          room.engine(slot).castPacket(reinterpret_cast<const char*>(&value), 4, false, false);
      });
    for (auto& caster : casters) caster.join();

    const size_t total = size_t(members) * perMember;
    std::vector<std::vector<int32_t>> orders(static_cast<size_t>(members));
    for (int slot = 0; slot < members; ++slot) {
      std::vector<TesselJob> jobs;
      ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobMessage, total, jobs, 20000)) << "slot " << slot;
      // Nothing more comes: each was delivered once.
      room.waitJobs(slot, TesselJob::JobMessage, total + 1, jobs, 100);
      orders[size_t(slot)] = tessel_test::messageValues(jobs);
      EXPECT_EQ(orders[size_t(slot)].size(), total) << "slot " << slot;
      EXPECT_EQ(orders[size_t(slot)], orders[0]) << "slot " << slot << " differs from the root";
    }
    // Each originator's broadcasts keep their order within the one order.
    std::vector<int32_t> next(size_t(members), 0);
    for (int32_t value : orders[0]) EXPECT_EQ(value % 1000, next[size_t(value / 1000)]++);
    EXPECT_EQ(room.engine(3).peekPacket(true), 0);
  }
}
