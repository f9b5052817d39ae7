// Traffic across rooms of real engines on 127.0.0.1: routed one-to-one
// packets, immediate broadcasts, and ordered broadcasts that every member
// receives in the same order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

using tessel_test::LoopbackRoom;
using zintar::TesselJob;

namespace {

std::vector<int32_t> payloads(const std::vector<TesselJob>& jobs) {
  std::vector<int32_t> values;
  for (const auto& job : jobs) {
    if (job.getType() != TesselJob::JobMessage) continue;
    int32_t value;
    std::memcpy(&value, job.getData(), 4);
    values.push_back(value);
  }
  return values;
}

}  // namespace

TEST(RoomTrafficTest, DirectPacketsAreRoutedThroughRelays) {
  // 3 and 4 sit in different subtrees: 3 -> 1 -> 0 -> 2 -> 4.
  LoopbackRoom room({0, 0, 0, 1, 2});
  ASSERT_TRUE(room.connect());
  const char text[] = "over three hops";
  ASSERT_EQ(room.engine(3).sendPacket(room.peerId(4), text, sizeof(text), true), 0);
  std::vector<TesselJob> jobs;
  ASSERT_TRUE(room.waitJobs(4, TesselJob::JobMessage, 1, jobs));
  EXPECT_EQ(jobs[0].getPeerId(), room.peerId(3));
  EXPECT_STREQ(jobs[0].getData(), text);
  EXPECT_EQ(jobs[0].getPing(), 60000);  // no frames without synchronisation
  // To itself: 0 and nothing; to a stranger or with too much data: -1.
  EXPECT_EQ(room.engine(3).sendPacket(room.peerId(3), text, 4, true), 0);
  EXPECT_EQ(room.engine(3).sendPacket(999, text, 4, true), -1);
  std::vector<char> big(1479, 'b');
  EXPECT_EQ(room.engine(3).sendPacket(room.peerId(4), big.data(), 1479, true), -1);
  EXPECT_EQ(room.engine(3).sendPacket(room.peerId(4), big.data(), 1478, true), 0);
  jobs.clear();
  ASSERT_TRUE(room.waitJobs(4, TesselJob::JobMessage, 1, jobs));
  EXPECT_EQ(jobs[0].getDataSize(), 1478);
  for (int slot : {0, 1, 2, 3}) {
    std::vector<TesselJob> none;
    room.drain(slot, none);
    EXPECT_TRUE(payloads(none).empty()) << "relay " << slot << " delivered a packet not meant for it";
  }
}

TEST(RoomTrafficTest, ImmediateBroadcastReachesEveryMemberOnce) {
  LoopbackRoom room({0, 0, 0, 1, 1, 2});
  ASSERT_TRUE(room.connect());
  for (int32_t origin = 0; origin < room.size(); ++origin) {
    int32_t value = 1000 + origin;
    ASSERT_EQ(room.engine(origin).castPacket(reinterpret_cast<const char*>(&value), 4, true, true), 0);
  }
  for (int slot = 0; slot < room.size(); ++slot) {
    std::vector<TesselJob> jobs;
    ASSERT_TRUE(room.waitJobs(slot, TesselJob::JobMessage, size_t(room.size()), jobs)) << slot;
    auto values = payloads(jobs);
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<int32_t>{1000, 1001, 1002, 1003, 1004, 1005})) << slot;
  }
  std::vector<char> big(1479, 'x');
  EXPECT_EQ(room.engine(0).castPacket(big.data(), 1479, true, true), -1);
}

TEST(RoomTrafficTest, OrderedBroadcastSameOrderAtEveryMember) {
  // Mode 3: inner nodes 0 and 1 keep frame stores; leaves pull.
  LoopbackRoom room({0, 0, 0, 1, 1}, 3);
  ASSERT_TRUE(room.connect());
  const int perOrigin = 15;
  for (int round = 0; round < perOrigin; ++round)
    for (int32_t origin = 0; origin < room.size(); ++origin) {
      int32_t value = origin * 100 + round;
      ASSERT_EQ(room.engine(origin).castPacket(reinterpret_cast<const char*>(&value), 4, true, false), 0);
    }
  size_t total = size_t(perOrigin * room.size());
  std::vector<std::vector<int32_t>> seen(size_t(room.size()));
  bool complete = tessel_test::waitFor(
      [&] {
        bool all = true;
        for (int slot = 0; slot < room.size(); ++slot) {
          room.engine(slot).peekPacket(true);  // leaves pull what they miss
          std::vector<TesselJob> jobs;
          room.drain(slot, jobs);
          auto values = payloads(jobs);
          seen[size_t(slot)].insert(seen[size_t(slot)].end(), values.begin(), values.end());
          all = all && seen[size_t(slot)].size() >= total;
        }
        return all;
      },
      std::chrono::milliseconds(10000));
  for (int slot = 0; slot < room.size(); ++slot) {
    auto sorted = seen[size_t(slot)];
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end()) << "duplicate at " << slot;
    EXPECT_EQ(sorted.size(), total) << slot;
  }
  ASSERT_TRUE(complete);
  // Members below one inner node see one order.
  EXPECT_EQ(seen[3], seen[4]) << "leaves of one parent disagree";
  EXPECT_EQ(seen[3], seen[1]) << "a leaf disagrees with its parent";
  EXPECT_EQ(seen[2], seen[0]) << "a leaf disagrees with the root";
}
