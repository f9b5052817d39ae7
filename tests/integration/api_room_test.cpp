// Rooms of engines driven only through TesselApi, the way a host
// application drives them: sessions, the peer table, a topology
// description built byte by byte, connect, traffic and popJob, in every
// delivery mode with clock synchronisation on and off.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tessel/planner/topology_description.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

using zintar::TesselApi;
using zintar::TesselJob;

namespace {

constexpr int16_t RoomMajor = 7;
constexpr int16_t RoomMinor = 300;
constexpr uint32_t Loopback = 0x7F000001;

// What a host application keeps of a popped job.
struct Seen {
  uint16_t type;
  int32_t peerId;
  int32_t frameId;
  uint16_t ping;
  std::string payload;
};

// A broadcast payload names its originator and a running number.
std::string message(int32_t origin, int number, char kind) {
  return std::string(1, kind) + ":" + std::to_string(origin) + ":" + std::to_string(number);
}

// Frame id of this moment on the local clock: every engine of these rooms
// shares the process's clock, so a synchronised frame stays close to it.
int32_t localFrameId() {
  KivNetTime::NetTime zero{};
  return (KivNetTime::getCurrentTime() - zero) / 10;
}

class ApiRoom {
 public:
  static constexpr int32_t FirstId = 500;

  ApiRoom(int size, int mode) {
    for (int slot = 0; slot < size; ++slot) add(mode);
  }

  // Adds one engine (not yet in any session's tree); returns its slot.
  int add(int mode) {
    int slot = static_cast<int>(apis_.size());
    apis_.push_back(std::make_unique<TesselApi>());
    ports_.push_back(tessel_test::freeUdpPort());
    inbox_.emplace_back();
    pongsFrom_.emplace_back();
    EXPECT_EQ(apis_.back()->init(id(slot), ports_.back(), true, mode, false, false), 0);
    apis_.back()->startSession();
    EXPECT_EQ(apis_.back()->setRoomId(RoomMajor, RoomMinor), 0);
    return slot;
  }

  TesselApi& api(int slot) { return *apis_[size_t(slot)]; }
  int32_t id(int slot) const { return FirstId + slot; }
  int size() const { return static_cast<int>(apis_.size()); }

  PacketDef::PeerProperty record(int slot) const {
    return zintar::TopologyDescription::peerRecord(id(slot), slot, Loopback, ports_[size_t(slot)], true, RoomMajor,
                                                   RoomMinor);
  }

  // Every engine of members learns the room as a world server would tell
  // it: the peers (self included), their addresses, then the tree.
  void describe(const std::vector<int>& members, const std::vector<int32_t>& parents, bool syncTime,
                int capacity = 256) {
    std::vector<PacketDef::PeerProperty> records;
    for (int slot : members) records.push_back(record(slot));
    description_ = tessel_test::topologyDescription(capacity, 1478, syncTime, records, parents);
    for (int self : members) {
      for (int slot : members) {
        ASSERT_EQ(api(self).addPeer(id(slot), uint8_t(slot)), 0);
        ASSERT_EQ(api(self).setPeerProperty(id(slot), Loopback, ports_[size_t(slot)], false, true), 0);
      }
      ASSERT_EQ(api(self).setTopology(description_.data(), int(description_.size())), 0);
    }
  }

  // Connects the root first, then every other member at once (each from
  // its own thread, as separate hosts would), then waits until every
  // member's ping has come back from the root over the tree.
  bool connect(int root, const std::vector<int>& members) {
    if (api(root).connect(5000) != 0) return false;
    std::vector<int> results(members.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < members.size(); ++i)
      if (members[i] != root) threads.emplace_back([&, i] { results[i] = api(members[i]).connect(5000); });
    for (auto& thread : threads) thread.join();
    if (std::any_of(results.begin(), results.end(), [](int result) { return result != 0; })) return false;
    return waitForPongs(root, members);
  }

  bool waitForPongs(int root, const std::vector<int>& members) {
    std::vector<int> waiting;
    for (int slot : members)
      if (slot != root) waiting.push_back(slot);
    return tessel_test::waitFor([&] {
      for (auto it = waiting.begin(); it != waiting.end();) {
        api(*it).sendPing();
        TesselJob job;
        bool answered = false;
        while (api(*it).popJob(job)) {
          answered = answered || (job.getType() == TesselJob::JobPingPong && job.getPeerId() == id(root));
          keep(*it, job);
        }
        it = answered ? waiting.erase(it) : it + 1;
      }
      return waiting.empty();
    });
  }

  // Answers to pings are counted apart: pings travel unreliably, so a
  // waiting member may have several in flight.
  void keep(int slot, const TesselJob& job) {
    if (job.getType() == TesselJob::JobPingPong) {
      pongsFrom_[size_t(slot)].push_back(job.getPeerId());
      return;
    }
    inbox_[size_t(slot)].push_back(
        {job.getType(), job.getPeerId(), job.getFrameId(), job.getPing(), std::string(job.getData(), job.getDataSize())});
  }

  // Pops every job of every live engine, pulling ordered broadcasts first.
  void pump(bool pull) {
    for (int slot = 0; slot < size(); ++slot) {
      if (pull) api(slot).peekPacket(true);
      TesselJob job;
      while (api(slot).popJob(job)) keep(slot, job);
    }
  }

  std::vector<Seen>& inbox(int slot) { return inbox_[size_t(slot)]; }
  std::vector<int32_t>& pongsFrom(int slot) { return pongsFrom_[size_t(slot)]; }

  // Jobs of one type (and of messages with a payload prefix) at a slot.
  std::vector<Seen> jobs(int slot, uint16_t type, char kind = 0) const {
    std::vector<Seen> selected;
    for (const auto& seen : inbox_[size_t(slot)])
      if (seen.type == type && (kind == 0 || (!seen.payload.empty() && seen.payload[0] == kind)))
        selected.push_back(seen);
    return selected;
  }

 private:
  std::vector<std::unique_ptr<TesselApi>> apis_;
  std::vector<int> ports_;
  std::vector<std::vector<Seen>> inbox_;
  std::vector<std::vector<int32_t>> pongsFrom_;
  std::string description_;
};

std::vector<std::string> payloadsOf(const std::vector<Seen>& jobs) {
  std::vector<std::string> payloads;
  for (const auto& seen : jobs) payloads.push_back(seen.payload);
  return payloads;
}

std::vector<std::string> sorted(std::vector<std::string> values) {
  std::sort(values.begin(), values.end());
  return values;
}

// Whether part is what remains of whole after dropping some of it.
bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t next = 0;
  for (const auto& text : whole)
    if (next < part.size() && part[next] == text) ++next;
  return next == part.size();
}

std::vector<int> range(int count) {
  std::vector<int> slots;
  for (int slot = 0; slot < count; ++slot) slots.push_back(slot);
  return slots;
}

class ApiRoomMatrix : public testing::TestWithParam<std::tuple<int, bool>> {};

// Every check of one room in one mode: one-to-one packets across relays,
// immediate and ordered broadcasts, pings, the end of the session.
TEST_P(ApiRoomMatrix, TrafficArrivesAsExpected) {
  const auto [mode, syncTime] = GetParam();
  const bool ordered = mode == 3 || mode == 5;
  ApiRoom room(6, mode);
  const auto members = range(6);

  // Session 1: depth three. 3 and 4 below 1, 5 below 2, all below 0.
  room.describe(members, {0, 0, 0, 1, 1, 2}, syncTime);
  for (int slot : members) {
    EXPECT_EQ(room.api(slot).getCenterPeer(), -1) << "no root before connect";
    EXPECT_EQ(room.api(slot).getRootPort(), 65535);
  }
  ASSERT_TRUE(room.connect(0, members));
  for (int slot : members) {
    EXPECT_EQ(room.api(slot).getCenterPeer(), room.id(0));
    EXPECT_EQ(room.api(slot).getRootIp(), Loopback);
    EXPECT_EQ(room.api(slot).getRootPort(), room.record(0).port);
    EXPECT_EQ(room.api(slot).connect(5000), 0) << "connect twice in a session";
  }
  // The description gives slot s the figure 10 + s; the root never counts.
  EXPECT_EQ(room.api(3).getClosestPeer(), room.id(1));

  // One-to-one: 3 -> 1 -> 0 -> 2 -> 5, and back along the same relays.
  int32_t sentFrame = localFrameId();
  const std::string there = "direct from 3";
  const std::string back = "direct from 5";
  ASSERT_EQ(room.api(3).sendPacket(room.id(5), there.data(), int(there.size()), true), 0);
  ASSERT_EQ(room.api(5).sendPacket(room.id(3), back.data(), int(back.size()), false), 0);
  // To itself: 0 and nothing sent; to a stranger or with too much data: -1.
  EXPECT_EQ(room.api(3).sendPacket(room.id(3), there.data(), 4, true), 0);
  EXPECT_EQ(room.api(3).sendPacket(9999, there.data(), 4, true), -1);
  const std::string tooLarge(1479, 'x');
  EXPECT_EQ(room.api(3).sendPacket(room.id(5), tooLarge.data(), 1479, true), -1);
  EXPECT_EQ(room.api(3).castPacket(tooLarge.data(), 1479, true, true), -1);

  // Immediate broadcasts from everyone, then ordered bursts from everyone.
  constexpr int Rounds = 8;
  for (int origin : members) {
    std::string text = message(room.id(origin), 0, 'i');
    ASSERT_EQ(room.api(origin).castPacket(text.data(), int(text.size()), true, true), 0);
  }
  for (int round = 0; round < Rounds; ++round)
    for (int origin : members) {
      std::string text = message(room.id(origin), round, 'o');
      ASSERT_EQ(room.api(origin).castPacket(text.data(), int(text.size()), true, false), 0);
    }
  const size_t orderedTotal = size_t(Rounds) * members.size();
  // In sequenced mode a leaf hands over the newest packet of each answer to
  // its pulls and skips the rest: it sees a part of its parent's log, in
  // log order, never a packet twice. Everywhere else nothing is skipped.
  const bool sequenced = mode == 5;
  std::vector<int> leaves = {3, 4, 5};
  auto isLeaf = [&](int slot) { return std::find(leaves.begin(), leaves.end(), slot) != leaves.end(); };
  auto orderedWanted = [&](int slot) { return sequenced && isLeaf(slot) ? size_t(1) : orderedTotal; };
  ASSERT_TRUE(tessel_test::waitFor(
      [&] {
        room.pump(true);
        for (int slot : members)
          if (room.jobs(slot, TesselJob::JobMessage, 'o').size() < orderedWanted(slot) ||
              room.jobs(slot, TesselJob::JobMessage, 'i').size() < members.size())
            return false;
        return room.jobs(5, TesselJob::JobMessage, 'd').size() == 1 &&
               room.jobs(3, TesselJob::JobMessage, 'd').size() == 1;
      },
      std::chrono::milliseconds(15000)))
      << "not every broadcast or direct packet arrived";

  // Pings: a leaf two hops down hears from the root.
  room.pongsFrom(3).clear();
  ASSERT_EQ(room.api(3).sendPing(), 0);
  EXPECT_EQ(room.api(0).sendPing(), 0) << "the root pings nobody";
  ASSERT_TRUE(tessel_test::waitFor([&] {
    room.pump(false);
    if (!room.pongsFrom(3).empty()) return true;
    room.api(3).sendPing();  // pings travel unreliably
    return false;
  }));
  EXPECT_EQ(room.pongsFrom(3)[0], room.id(0));
  EXPECT_TRUE(room.pongsFrom(0).empty()) << "the root has nobody to measure";
  room.pump(ordered);

  const int32_t frameSlack = 200;  // two seconds of frames, for slow sanitizer runs
  auto checkStamp = [&](const Seen& seen, const std::string& where) {
    if (syncTime) {
      EXPECT_NEAR(seen.frameId, sentFrame, frameSlack) << where;
      EXPECT_GE(seen.ping, 5) << where;
      EXPECT_LE(seen.ping, 1000) << where;
    } else {
      EXPECT_EQ(seen.frameId, 0) << where;
      EXPECT_EQ(seen.ping, 60000) << where;
    }
  };

  // Direct packets: at their destination only, from their originator.
  auto at5 = room.jobs(5, TesselJob::JobMessage, 'd');
  ASSERT_EQ(at5.size(), 1u);
  EXPECT_EQ(at5[0].peerId, room.id(3));
  EXPECT_EQ(at5[0].payload, there);
  checkStamp(at5[0], "direct at 5");
  auto at3 = room.jobs(3, TesselJob::JobMessage, 'd');
  ASSERT_EQ(at3.size(), 1u);
  EXPECT_EQ(at3[0].peerId, room.id(5));
  EXPECT_EQ(at3[0].payload, back);
  for (int slot : {0, 1, 2, 4}) EXPECT_TRUE(room.jobs(slot, TesselJob::JobMessage, 'd').empty()) << slot;

  // Broadcasts: every one exactly once everywhere, the originator included,
  // named by its originator; one frame id per broadcast at every member.
  std::vector<std::string> expectedImmediate;
  std::vector<std::string> expectedOrdered;
  for (int origin : members) {
    expectedImmediate.push_back(message(room.id(origin), 0, 'i'));
    for (int round = 0; round < Rounds; ++round) expectedOrdered.push_back(message(room.id(origin), round, 'o'));
  }
  const auto sortedOrdered = sorted(expectedOrdered);
  std::map<std::string, int32_t> frameOf;
  for (int slot : members) {
    for (char kind : {'i', 'o'}) {
      auto jobs = room.jobs(slot, TesselJob::JobMessage, kind);
      if (kind == 'o' && sequenced && isLeaf(slot)) {
        auto seen = sorted(payloadsOf(jobs));
        EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << "a packet twice at " << slot;
        EXPECT_TRUE(std::includes(sortedOrdered.begin(), sortedOrdered.end(), seen.begin(), seen.end()))
            << "a packet nobody sent at " << slot;
      } else {
        EXPECT_EQ(sorted(payloadsOf(jobs)), sorted(kind == 'i' ? expectedImmediate : expectedOrdered))
            << "slot " << slot << " kind " << kind;
      }
      for (const auto& seen : jobs) {
        EXPECT_EQ(seen.payload.substr(2, 3), std::to_string(seen.peerId)) << "originator of " << seen.payload;
        checkStamp(seen, seen.payload + " at " + std::to_string(slot));
        auto [it, fresh] = frameOf.emplace(seen.payload, seen.frameId);
        if (!fresh) {
          EXPECT_EQ(it->second, seen.frameId) << seen.payload << " at " << slot;
        }
      }
    }
    // Nothing else.
    size_t direct = slot == 3 || slot == 5 ? 1 : 0;
    EXPECT_EQ(room.jobs(slot, TesselJob::JobMessage).size(),
              direct + expectedImmediate.size() + room.jobs(slot, TesselJob::JobMessage, 'o').size())
        << "unexpected messages at slot " << slot;
    for (const auto& seen : room.inbox(slot))
      EXPECT_EQ(seen.type, TesselJob::JobMessage)
          << "unexpected job type " << seen.type << " at slot " << slot;
  }
  if (ordered) {
    // Members below one inner node share its log and so its order.
    auto order = [&](int slot) { return payloadsOf(room.jobs(slot, TesselJob::JobMessage, 'o')); };
    for (auto [leaf, parent] : {std::pair{3, 1}, {4, 1}, {5, 2}}) {
      if (sequenced) {
        EXPECT_TRUE(isSubsequence(order(leaf), order(parent))) << leaf << " strays from its parent's log";
      } else {
        EXPECT_EQ(order(leaf), order(parent)) << leaf << " disagrees with its parent";
      }
    }
    // Each originator's own packets keep their order everywhere.
    for (int slot : members)
      for (int origin : members) {
        std::vector<std::string> own;
        for (const auto& text : order(slot)) {
          if (text.substr(2, 3) == std::to_string(room.id(origin))) own.push_back(text);
        }
        std::vector<std::string> expected;
        for (int round = 0; round < Rounds; ++round) expected.push_back(message(room.id(origin), round, 'o'));
        if (sequenced && isLeaf(slot)) {
          EXPECT_TRUE(isSubsequence(own, expected)) << "origin " << origin << " at " << slot;
        } else {
          EXPECT_EQ(own, expected) << "origin " << origin << " at " << slot;
        }
      }
  }
  if (ordered && !sequenced) {
    EXPECT_GT(room.api(3).getReadIndex(), 0u) << "a leaf's read index follows its parent's log";
  }

  // endSession forgets the tree and the read position.
  for (int slot : members) {
    ASSERT_EQ(room.api(slot).endSession(), 0);
    EXPECT_EQ(room.api(slot).getCenterPeer(), -1) << "no root after endSession";
    EXPECT_EQ(room.api(slot).getReadIndex(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(ModesAndSync, ApiRoomMatrix,
                         testing::Combine(testing::Values(0, 3, 5), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return "Mode" + std::to_string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Sync" : "NoSync");
                         });

TEST(ApiRoomTest, PeerAddedAfterConnectHangsBelowTheRoot) {
  ApiRoom room(5, 3);
  const auto members = range(5);
  room.describe(members, {0, 0, 0, 1, 1}, true);
  ASSERT_TRUE(room.connect(0, members));

  // Slot 5 arrives late: the members add it, it learns the room and its
  // place below the root from a description of its own.
  int late = room.add(3);
  ASSERT_EQ(late, 5);
  for (int slot : members) {
    ASSERT_EQ(room.api(slot).addPeer(room.id(late), uint8_t(late)), 0);
    ASSERT_EQ(room.api(slot).setPeerProperty(room.id(late), Loopback, room.record(late).port, false, true), 0);
  }
  std::vector<int> everyone = range(6);
  std::vector<PacketDef::PeerProperty> records;
  for (int slot : everyone) records.push_back(room.record(slot));
  std::string description = tessel_test::topologyDescription(256, 1478, true, records, {0, 0, 0, 1, 1, 0});
  for (int slot : everyone) {
    ASSERT_EQ(room.api(late).addPeer(room.id(slot), uint8_t(slot)), 0);
    ASSERT_EQ(room.api(late).setPeerProperty(room.id(slot), Loopback, room.record(slot).port, false, true), 0);
  }
  ASSERT_EQ(room.api(late).setTopology(description.data(), int(description.size())), 0);
  ASSERT_EQ(room.api(late).connect(5000), 0);
  ASSERT_TRUE(room.waitForPongs(0, {late}));
  EXPECT_EQ(room.api(late).getCenterPeer(), room.id(0));

  // Broadcasts from deep in the tree and from the newcomer reach everyone.
  for (int origin : {4, late}) {
    std::string text = message(room.id(origin), 0, 'o');
    ASSERT_EQ(room.api(origin).castPacket(text.data(), int(text.size()), true, false), 0);
  }
  ASSERT_TRUE(tessel_test::waitFor(
      [&] {
        room.pump(true);
        for (int slot : everyone)
          if (room.jobs(slot, TesselJob::JobMessage).size() < 2) return false;
        return true;
      },
      std::chrono::milliseconds(10000)));
  for (int slot : everyone) EXPECT_EQ(room.jobs(slot, TesselJob::JobMessage).size(), 2u) << slot;
  const std::string direct = "welcome";
  ASSERT_EQ(room.api(3).sendPacket(room.id(late), direct.data(), int(direct.size()), true), 0);
  ASSERT_TRUE(tessel_test::waitFor([&] {
    room.pump(false);
    return !room.jobs(late, TesselJob::JobMessage, 'w').empty();
  }));
}

}  // namespace
