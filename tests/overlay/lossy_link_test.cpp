// Reliable overlay traffic over lossy links: every engine's ENet host loses
// a tenth of the datagrams it receives (a seeded dropper on ENet's
// intercept hook), and every broadcast and direct packet must still arrive,
// once, with direct packets in the order they were sent.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/datagram_dropper.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

using tessel_test::DatagramDropper;
using tessel_test::LoopbackRoom;
using zintar::TesselJob;

namespace {

constexpr int32_t DirectBase = 100000;

}  // namespace

TEST(LossyLinkTest, ReliablePacketsArriveDespiteTenPercentLoss) {
  const struct Case {
    int mode;
    bool immediate;
    uint32_t seed;
  } cases[] = {
      {0, true, 5},    // broadcasts flooded along the tree
      {3, false, 16},  // broadcasts through the frame stores, pulled by peeks
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode);
    // Declared first: the engines stop using it before it goes.
    DatagramDropper dropper(c.seed, 10);
    // 0 is the root; 1 and 2 are inner nodes with leaves 3, 4 and 5.
    LoopbackRoom room({0, 0, 0, 1, 1, 2}, c.mode);
    ASSERT_TRUE(room.connect());
    const int members = room.size();
    for (int slot = 0; slot < members; ++slot)
      room.engine(slot).getClient().setIntercept(DatagramDropper::intercept);

    // Each member broadcasts perMember values and sends perMember direct
    // packets to the member three slots on, whose path crosses the root.
    const int perMember = 50;
    for (int32_t round = 0; round < perMember; ++round)
      for (int32_t origin = 0; origin < members; ++origin) {
        int32_t cast = origin * 1000 + round;
        int32_t direct = DirectBase + cast;
        auto& engine = room.engine(origin);
        ASSERT_EQ(engine.castPacket(reinterpret_cast<const char*>(&cast), 4, true, c.immediate), 0);
        ASSERT_EQ(engine.sendPacket(room.peerId((origin + 3) % members), reinterpret_cast<const char*>(&direct),
                                    4, true),
                  0);
      }

    std::vector<std::vector<TesselJob>> jobs(static_cast<size_t>(members));
    auto count = [](const std::vector<TesselJob>& list) {
      size_t n = 0;
      for (const auto& job : list) n += job.getType() == TesselJob::JobMessage ? 1 : 0;
      return n;
    };
    const size_t expected = size_t(members * perMember + perMember);
    int pass = 0;
    bool complete = tessel_test::waitFor(
        [&] {
          bool all = true;
          bool pull = ++pass % 20 == 0;
          for (int slot = 0; slot < members; ++slot) {
            if (pull) room.engine(slot).peekPacket(true);
            room.drain(slot, jobs[size_t(slot)]);
            all = all && count(jobs[size_t(slot)]) >= expected;
          }
          return all;
        },
        std::chrono::milliseconds(60000));
    EXPECT_TRUE(complete);

    std::vector<int32_t> everyCast;
    for (int32_t origin = 0; origin < members; ++origin)
      for (int32_t round = 0; round < perMember; ++round) everyCast.push_back(origin * 1000 + round);
    for (int slot = 0; slot < members; ++slot) {
      std::vector<int32_t> casts;
      std::vector<int32_t> directs;
      int32_t sender = (slot + 3) % members;
      for (const auto& job : jobs[size_t(slot)]) {
        if (job.getType() != TesselJob::JobMessage) continue;
        int32_t value;
        std::memcpy(&value, job.getData(), 4);
        if (value >= DirectBase) {
          directs.push_back(value);
          EXPECT_EQ(job.getPeerId(), room.peerId(sender));
        } else {
          casts.push_back(value);
        }
      }
      std::sort(casts.begin(), casts.end());
      EXPECT_EQ(casts, everyCast) << "broadcasts at " << slot;
      std::vector<int32_t> inOrder;
      for (int32_t round = 0; round < perMember; ++round) inOrder.push_back(DirectBase + sender * 1000 + round);
      EXPECT_EQ(directs, inOrder) << "direct packets at " << slot;
    }
    EXPECT_GT(dropper.dropped(), 0u);
  }
}
