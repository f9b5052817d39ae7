// Broadcasts and direct packets between real engines on 127.0.0.1, on clean
// links and on links where every engine's ENet host loses a tenth of the
// datagrams it receives (a seeded dropper on ENet's intercept hook): every
// broadcast, immediate or through the frame stores, and every direct packet
// arrives once, direct packets in the order they were sent; in mode 7 every
// member delivers the ordered ones in the root's log order, whatever the
// store's size, with a room key or without.

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(LossyLinkTest, EveryPacketArrivesOnceAndModeSevenKeepsOneOrder) {
  const struct {
    int mode, lossPercent;
    uint32_t seed;
    bool keyed;
  } cases[] = {{3, 10, 16, false}, {7, 0, 1, false}, {7, 10, 7, false}, {7, 10, 7, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.lossPercent << "% loss"
                                    << (c.keyed ? ", with a room key" : ""));
    DatagramDropper dropper(c.seed, c.lossPercent);  // declared first: the engines stop using it before it goes
    // Mode 3: 0 the root; 1 and 2 inner nodes with leaves 3, 4 and 5. Mode
    // 7, depth 3: 1 and 2 below 0; 3 and 4 below 1; 5, 6 below 3 and 7
    // below 4, with a frame store of 64 packets, far below the burst.
    const bool oneOrder = c.mode == 7;
    LoopbackRoom room(oneOrder ? std::vector<int32_t>{0, 0, 0, 1, 1, 3, 3, 4} : std::vector<int32_t>{0, 0, 0, 1, 1, 2},
                      c.mode, false, oneOrder ? 64 : 256);
    ASSERT_TRUE(!c.keyed || room.setRoomKey(std::string(32, 'k')));
    ASSERT_TRUE(room.connect());
    const int members = room.size();
    if (c.lossPercent > 0)
      for (int slot = 0; slot < members; ++slot) room.engine(slot).getClient().setIntercept(DatagramDropper::intercept);

    // Each member broadcasts perMember values through the stores (mode 7:
    // unreliable on purpose, it sends ordered broadcasts reliably) and as
    // many immediately, and sends as many direct packets to the member
    // three slots on, whose path crosses the root.
    const int32_t perMember = 40, immediateBase = 50000, directBase = 100000;
    std::vector<std::thread> casters;
    for (int32_t origin = 0; origin < members; ++origin)
      casters.emplace_back([&, origin] {
        for (int32_t round = origin * 1000; round < origin * 1000 + perMember; ++round) {
          int32_t values[3] = {round, immediateBase + round, directBase + round};
          auto& engine = room.engine(origin);
          EXPECT_EQ(engine.castPacket(reinterpret_cast<const char*>(&values[0]), 4, !oneOrder, false), 0);
          EXPECT_EQ(engine.castPacket(reinterpret_cast<const char*>(&values[1]), 4, true, true), 0);
          EXPECT_EQ(engine.sendPacket(room.peerId((origin + 3) % members), reinterpret_cast<const char*>(&values[2]),
                                      4, true), 0);
        }
      });
    for (auto& caster : casters) caster.join();

    std::vector<int32_t> everyCast;
    for (int32_t base : {0, immediateBase})
      for (int32_t origin = 0; origin < members; ++origin)
        for (int32_t round = 0; round < perMember; ++round) everyCast.push_back(base + origin * 1000 + round);
    std::vector<std::vector<TesselJob>> jobs(static_cast<size_t>(members));
    int pass = 0;
    auto arrived = [&](size_t atLeast) {
      return [&, atLeast] {
        bool all = true;
        bool pull = ++pass % 20 == 0;
        for (int slot = 0; slot < members; ++slot) {
          if (pull) room.engine(slot).peekPacket(true);
          room.drain(slot, jobs[size_t(slot)]);
          all = all && tessel_test::messageValues(jobs[size_t(slot)]).size() >= atLeast;
        }
        return all;
      };
    };
    const size_t total = everyCast.size() + perMember;
    ASSERT_TRUE(tessel_test::waitFor(arrived(total), std::chrono::milliseconds(60000)));
    tessel_test::waitFor(arrived(total + 1), std::chrono::milliseconds(100));  // nothing more: each came once
    std::vector<int32_t> rootOrder;
    for (int slot = 0; slot < members; ++slot) {
      std::vector<int32_t> casts, ordered, directs, sent;
      for (int32_t value : tessel_test::messageValues(jobs[size_t(slot)]))
        (value >= directBase ? directs : value >= immediateBase ? casts : ordered).push_back(value);
      if (slot == 0) rootOrder = ordered;
      if (oneOrder) {
        EXPECT_EQ(ordered, rootOrder) << "slot " << slot << " differs from the root";
      }
      casts.insert(casts.end(), ordered.begin(), ordered.end());
      std::sort(casts.begin(), casts.end());
      EXPECT_EQ(casts, everyCast) << "broadcasts at " << slot;
      int32_t sender = (slot + members - 3) % members;
      for (int32_t round = 0; round < perMember; ++round) sent.push_back(directBase + sender * 1000 + round);
      EXPECT_EQ(directs, sent) << "direct packets at " << slot;
    }
    // Each originator's broadcasts keep their order within the one order.
    if (oneOrder) {
      std::vector<int32_t> next(size_t(members), 0);
      for (int32_t value : rootOrder) EXPECT_EQ(value % 1000, next[size_t(value / 1000)]++);
    }
    EXPECT_EQ(room.engine(3).peekPacket(true), 0);
    EXPECT_EQ(dropper.dropped() > 0, c.lossPercent > 0);
  }
}
