// Rooms of engines driven only through TesselApi, the way a host
// application drives them: sessions, the peer table, a topology
// description built byte by byte, connect, traffic and popJob, in every
// delivery mode with clock synchronisation on and off.

#include <gtest/gtest.h>

#include <algorithm>
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

// A broadcast payload names its kind, its originator and a running number.
std::string message(int32_t origin, int number, char kind) {
  return std::string(1, kind) + ":" + std::to_string(origin) + ":" + std::to_string(number);
}

// Frame id of this moment on the local clock: every engine of these rooms
// shares the process's clock, so a synchronised frame stays close to it.
int32_t localFrameId() {
  KivNetTime::NetTime zero{};
  return (KivNetTime::getCurrentTime() - zero) / 10;
}

std::vector<int> range(int count) {
  std::vector<int> slots;
  for (int slot = 0; slot < count; ++slot) slots.push_back(slot);
  return slots;
}

class ApiRoom {
 public:
  ApiRoom(int size, int mode) {
    for (int slot = 0; slot < size; ++slot) add(mode);
  }

  // Adds one engine (not yet in any session's tree); returns its slot.
  int add(int mode) {
    apis_.push_back(std::make_unique<TesselApi>());
    ports_.push_back(tessel_test::freeUdpPort());
    inbox.emplace_back();
    pongsFrom.emplace_back();
    const int slot = int(apis_.size()) - 1;
    EXPECT_EQ(api(slot).init(id(slot), port(slot), true, mode, false, false), 0);
    api(slot).startSession();
    EXPECT_EQ(api(slot).setRoomId(RoomMajor, RoomMinor), 0);
    return slot;
  }

  TesselApi& api(int slot) { return *apis_[size_t(slot)]; }
  int32_t id(int slot) const { return 500 + slot; }
  int port(int slot) const { return ports_[size_t(slot)]; }

  // self learns the peers of slots and their addresses.
  void introduce(int self, const std::vector<int>& slots) {
    for (int slot : slots) {
      ASSERT_EQ(api(self).addPeer(id(slot), uint8_t(slot)), 0);
      ASSERT_EQ(api(self).setPeerProperty(id(slot), Loopback, port(slot), false, true), 0);
    }
  }

  // Every engine of selves learns the room as a world server would tell
  // it: the members (self included), their addresses, then the tree.
  void describe(const std::vector<int>& selves, const std::vector<int>& members, const std::vector<int32_t>& parents,
                bool syncTime) {
    std::vector<PacketDef::PeerProperty> records;
    for (int slot : members)
      records.push_back(
          zintar::TopologyDescription::peerRecord(id(slot), slot, Loopback, port(slot), true, RoomMajor, RoomMinor));
    const std::string description = tessel_test::topologyDescription(256, 1478, syncTime, records, parents);
    for (int self : selves) {
      introduce(self, members);
      ASSERT_EQ(api(self).setTopology(description.data(), int(description.size())), 0);
    }
  }

  // Connects the root (slot 0) first, then the other count - 1 at once
  // (each from its own thread, as separate hosts would), then waits until
  // each one's ping has come back from the root over the tree. The members
  // wait the default time (a negative wait), which is 30 s, not none.
  bool connect(int count) {
    if (api(0).connect(5000) != 0) return false;
    std::vector<int> results(size_t(count), 0);
    std::vector<std::thread> threads;
    for (int slot = 1; slot < count; ++slot)
      threads.emplace_back([&, slot] { results[size_t(slot)] = api(slot).connect(-1); });
    for (auto& thread : threads) thread.join();
    std::vector<int> others = range(count);
    others.erase(others.begin());
    return std::count(results.begin(), results.end(), 0) == count && waitForPongs(others);
  }

  bool waitForPongs(std::vector<int> waiting) {
    return tessel_test::waitFor([&] {
      pump(false);
      std::erase_if(waiting, [&](int slot) {
        return std::count(pongsFrom[size_t(slot)].begin(), pongsFrom[size_t(slot)].end(), id(0)) > 0;
      });
      for (int slot : waiting) EXPECT_EQ(api(slot).sendPing(), 0);  // pings travel unreliably
      return waiting.empty();
    });
  }

  // Pops every job of every engine, pulling ordered broadcasts first.
  // Answers to pings are kept apart.
  void pump(bool pull) {
    for (size_t slot = 0; slot < apis_.size(); ++slot) {
      if (pull) apis_[slot]->peekPacket(true);
      TesselJob job;
      while (apis_[slot]->popJob(job)) {
        if (job.getType() == TesselJob::JobPingPong) {
          pongsFrom[slot].push_back(job.getPeerId());
        } else {
          inbox[slot].push_back({job.getType(), job.getPeerId(), job.getFrameId(), job.getPing(),
                                 std::string(job.getData(), job.getDataSize())});
        }
      }
    }
  }

  void cast(int slot, const std::string& text, bool immediate) {
    EXPECT_EQ(api(slot).castPacket(text.data(), int(text.size()), true, immediate), 0) << text;
  }

  // Messages at a slot, those whose payload opens with kind if it is set.
  std::vector<Seen> jobs(int slot, char kind = 0) const {
    std::vector<Seen> selected;
    for (const auto& seen : inbox[size_t(slot)])
      if (seen.type == TesselJob::JobMessage && (kind == 0 || seen.payload.substr(0, 1) == std::string(1, kind)))
        selected.push_back(seen);
    return selected;
  }

  std::vector<std::vector<Seen>> inbox;       // every job but answers to pings
  std::vector<std::vector<int32_t>> pongsFrom;  // who answered each ping

 private:
  std::vector<std::unique_ptr<TesselApi>> apis_;
  std::vector<int> ports_;
};

std::vector<std::string> payloadsOf(const std::vector<Seen>& jobs, bool sort = false) {
  std::vector<std::string> payloads;
  for (const auto& seen : jobs) payloads.push_back(seen.payload);
  if (sort) std::sort(payloads.begin(), payloads.end());
  return payloads;
}

// Whether part is what remains of whole after dropping some of it.
bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t next = 0;
  for (const auto& text : whole)
    if (next < part.size() && part[next] == text) ++next;
  return next == part.size();
}

class ApiRoomMatrix : public testing::TestWithParam<std::tuple<int, bool>> {};

// Every check of one room in one mode: one-to-one packets across relays,
// immediate and ordered broadcasts, pings, the end of the session.
TEST_P(ApiRoomMatrix, TrafficArrivesAsExpected) {
  const auto [mode, syncTime] = GetParam();
  const bool ordered = mode == 3 || mode == 5;
  const bool sequenced = mode == 5;
  ApiRoom room(6, mode);
  const auto members = range(6);

  // Depth three: 3 and 4 below 1, 5 below 2, all below 0.
  room.describe(members, members, {0, 0, 0, 1, 1, 2}, syncTime);
  for (int slot : members) {
    EXPECT_EQ(room.api(slot).getCenterPeer(), -1) << "no root before connect";
    EXPECT_EQ(room.api(slot).getRootPort(), 65535);
  }
  ASSERT_TRUE(room.connect(6));
  for (int slot : members) {
    EXPECT_EQ(room.api(slot).getCenterPeer(), room.id(0));
    EXPECT_EQ(room.api(slot).getRootIp(), Loopback);
    EXPECT_EQ(room.api(slot).getRootPort(), room.port(0));
    EXPECT_EQ(room.api(slot).connect(5000), 0) << "connect twice in a session";
  }
  // The description gives slot s the figure 10 + s; the root never counts.
  EXPECT_EQ(room.api(3).getClosestPeer(), room.id(1));

  // One-to-one: 3 -> 1 -> 0 -> 2 -> 5, and back along the same relays.
  const int32_t sentFrame = localFrameId();
  const std::string there = "direct from 3", back = "direct from 5", tooLarge(1479, 'x');
  ASSERT_EQ(room.api(3).sendPacket(room.id(5), there.data(), int(there.size()), true), 0);
  ASSERT_EQ(room.api(5).sendPacket(room.id(3), back.data(), int(back.size()), false), 0);
  // To itself: 0 and nothing sent; to a stranger or with too much data: -1.
  EXPECT_EQ(room.api(3).sendPacket(room.id(3), there.data(), 4, true), 0);
  EXPECT_EQ(room.api(3).sendPacket(9999, there.data(), 4, true), -1);
  EXPECT_EQ(room.api(3).sendPacket(room.id(5), tooLarge.data(), 1479, true), -1);
  EXPECT_EQ(room.api(3).castPacket(tooLarge.data(), 1479, true, true), -1);

  // Immediate broadcasts from everyone, then ordered bursts from everyone.
  constexpr int Rounds = 8;
  std::vector<std::string> immediate, inOrder;
  for (int origin : members) {
    immediate.push_back(message(room.id(origin), 0, 'i'));
    room.cast(origin, immediate.back(), true);
  }
  for (int round = 0; round < Rounds; ++round)
    for (int origin : members) {
      inOrder.push_back(message(room.id(origin), round, 'o'));
      room.cast(origin, inOrder.back(), false);
    }
  std::sort(immediate.begin(), immediate.end());
  std::sort(inOrder.begin(), inOrder.end());
  // In sequenced mode a leaf hands over the newest packet of each answer to
  // its pulls and skips the rest: it sees a part of its parent's log, in
  // log order, never a packet twice. Everywhere else nothing is skipped.
  auto skips = [&](int slot) { return sequenced && slot >= 3; };
  ASSERT_TRUE(tessel_test::waitFor(
      [&] {
        room.pump(true);
        for (int slot : members)
          if (room.jobs(slot, 'o').size() < (skips(slot) ? 1 : inOrder.size()) ||
              room.jobs(slot, 'i').size() < members.size())
            return false;
        return room.jobs(5, 'd').size() == 1 && room.jobs(3, 'd').size() == 1;
      },
      std::chrono::milliseconds(15000)))
      << "not every broadcast or direct packet arrived";

  // Every answer to a ping comes from the root, which pings nobody.
  EXPECT_EQ(room.api(0).sendPing(), 0);
  room.pump(ordered);
  for (int slot : members)
    for (int32_t from : room.pongsFrom[size_t(slot)]) EXPECT_EQ(from, room.id(0)) << "a pong at " << slot;
  EXPECT_TRUE(room.pongsFrom[0].empty()) << "the root has nobody to measure";

  // Synchronised: the sender's frame and a measured ping; otherwise neither.
  auto checkStamp = [&](const Seen& seen, const std::string& where) {
    EXPECT_NEAR(seen.frameId, syncTime ? sentFrame : 0, syncTime ? 200 : 0) << where;  // 2 s: sanitizer runs
    EXPECT_TRUE(syncTime ? seen.ping >= 5 && seen.ping <= 1000 : seen.ping == 60000) << where << ": " << seen.ping;
  };

  // Direct packets: at their destination only, from their originator.
  for (const auto& [to, from, text] : {std::tuple{5, 3, there}, {3, 5, back}}) {
    auto got = room.jobs(to, 'd');
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].peerId, room.id(from));
    EXPECT_EQ(got[0].payload, text);
    checkStamp(got[0], "direct at " + std::to_string(to));
  }

  // Broadcasts: every one exactly once everywhere, the originator included,
  // named by its originator; one frame id per broadcast at every member.
  std::map<std::string, int32_t> frameOf;
  for (int slot : members) {
    for (char kind : {'i', 'o'}) {
      const auto got = room.jobs(slot, kind);
      const auto payloads = payloadsOf(got, true);
      const auto& sent = kind == 'i' ? immediate : inOrder;
      if (kind == 'o' && skips(slot)) {
        EXPECT_EQ(std::adjacent_find(payloads.begin(), payloads.end()), payloads.end()) << "a packet twice at " << slot;
        EXPECT_TRUE(std::includes(sent.begin(), sent.end(), payloads.begin(), payloads.end()))
            << "a packet nobody sent at " << slot;
      } else {
        EXPECT_EQ(payloads, sent) << "slot " << slot << " kind " << kind;
      }
      for (const auto& seen : got) {
        EXPECT_EQ(seen.payload.substr(2, 3), std::to_string(seen.peerId)) << "originator of " << seen.payload;
        checkStamp(seen, seen.payload + " at " + std::to_string(slot));
        auto [it, fresh] = frameOf.emplace(seen.payload, seen.frameId);
        EXPECT_EQ(it->second, seen.frameId) << seen.payload << " at " << slot;
      }
    }
    // Nothing else: no direct packet where none was sent, no other job.
    EXPECT_EQ(room.jobs(slot).size(), (slot == 3 || slot == 5 ? 1 : 0) + immediate.size() + room.jobs(slot, 'o').size())
        << "unexpected messages at slot " << slot;
    for (const auto& seen : room.inbox[size_t(slot)])
      EXPECT_EQ(seen.type, TesselJob::JobMessage) << "unexpected job type " << seen.type << " at slot " << slot;
  }
  if (ordered) {
    // Members below one inner node share its log and so its order (every
    // packet of it but in sequenced mode, where a leaf skips some).
    auto order = [&](int slot) { return payloadsOf(room.jobs(slot, 'o')); };
    for (auto [leaf, parent] : {std::pair{3, 1}, {4, 1}, {5, 2}})
      EXPECT_TRUE(isSubsequence(order(leaf), order(parent))) << leaf << " strays from its parent's log";
    // Each originator's own packets keep their order everywhere.
    for (int slot : members) {
      std::map<int32_t, int> lastRound;
      for (const auto& seen : room.jobs(slot, 'o')) {
        const int round = std::stoi(seen.payload.substr(6));
        auto [it, fresh] = lastRound.emplace(seen.peerId, round);
        EXPECT_TRUE(fresh || round > it->second) << seen.payload << " behind a later one at " << slot;
        it->second = round;
      }
    }
    EXPECT_TRUE(sequenced || room.api(3).getReadIndex() > 0) << "a leaf's read index follows its parent's log";
  }

  // endSession forgets the tree and the read position.
  for (int slot : members) {
    ASSERT_EQ(room.api(slot).endSession(), 0);
    EXPECT_EQ(room.api(slot).getCenterPeer(), -1) << "no root after endSession";
    EXPECT_EQ(room.api(slot).getReadIndex(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(ModesAndSync, ApiRoomMatrix, testing::Combine(testing::Values(0, 3, 5), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return "Mode" + std::to_string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Sync" : "NoSync");
                         });

TEST(ApiRoomTest, PeerAddedAfterConnectHangsBelowTheRoot) {
  ApiRoom room(5, 3);
  room.describe(range(5), range(5), {0, 0, 0, 1, 1}, true);
  ASSERT_TRUE(room.connect(5));

  // Slot 5 arrives late: the members add it, it learns the room and its
  // place below the root from a description of its own.
  const int late = room.add(3);
  for (int slot : range(5)) room.introduce(slot, {late});
  room.describe({late}, range(6), {0, 0, 0, 1, 1, 0}, true);
  ASSERT_EQ(room.api(late).connect(5000), 0);
  ASSERT_TRUE(room.waitForPongs({late}));
  EXPECT_EQ(room.api(late).getCenterPeer(), room.id(0));

  // Broadcasts from deep in the tree and from the newcomer reach everyone
  // once, and a packet reaches the newcomer across the tree.
  for (int origin : {4, late}) room.cast(origin, message(room.id(origin), 0, 'o'), false);
  ASSERT_TRUE(tessel_test::waitFor(
      [&] {
        room.pump(true);
        for (int slot : range(6))
          if (room.jobs(slot).size() < 2) return false;
        return true;
      },
      std::chrono::milliseconds(10000)));
  for (int slot : range(6)) EXPECT_EQ(room.jobs(slot).size(), 2u) << slot;
  const std::string direct = "welcome";
  ASSERT_EQ(room.api(3).sendPacket(room.id(late), direct.data(), int(direct.size()), true), 0);
  ASSERT_TRUE(tessel_test::waitFor([&] {
    room.pump(false);
    return !room.jobs(late, 'w').empty();
  }));
}

}  // namespace
