// Faults that only separate hosts show: rooms of six engines in processes
// of their own, each in a network namespace with its own address, joined
// by a bridge. Links lose datagrams at random (nftables), an inner node is
// killed outright, and a peer restarts and is added again.
//
// Root is needed; where it or network namespaces are not permitted, every
// test is skipped with the reason.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/faults/netns_lab.h"
#include "tests/support/test_support.h"

using tessel_test::NetnsLab;
using tessel_test::PeerProcess;

namespace {

constexpr int Size = 6;
const std::vector<int> Members = {0, 1, 2, 3, 4, 5};
constexpr unsigned PayloadSize = 120;  // what tessel-fault-peer sends
// ENet gives up on a silent peer after at most 30 s; allow for the time the
// room needs to pass the news on.
constexpr int EnetTimeoutBoundMs = 45000;

int32_t id(int slot) { return tessel_test::FirstFaultId + slot; }

struct Message {
  std::string tag;
  int32_t origin;
  int seq;
  int32_t jobPeer;
  unsigned size;
};

// What one member reported.
struct Received {
  std::vector<Message> messages;
  std::set<int32_t> disconnected;
  std::vector<std::string> other;  // foreign messages and error reports

  size_t count(const std::string& tag) const {
    return size_t(std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.tag == tag; }));
  }
};

class FaultRoom {
 public:
  // Every member holds key as the room key, when one is given.
  FaultRoom(NetnsLab& lab, int mode, std::string key = "")
      : lab_(lab), mode_(mode), key_(std::move(key)), peers_(Size), received_(Size) {
    for (int slot : Members) start(slot);
  }

  PeerProcess& peer(int slot) { return *peers_[size_t(slot)]; }
  Received& received(int slot) { return received_[size_t(slot)]; }

  void start(int slot) {
    std::vector<std::string> args{std::to_string(slot), std::to_string(mode_)};
    if (!key_.empty()) args.push_back(key_);
    peers_[size_t(slot)] =
        std::make_unique<PeerProcess>(lab_.ns(slot), tessel_test::toolPath("tessel-fault-peer"), args);
    received_[size_t(slot)] = Received();
  }

  // Sends each slot its commands, all at once; false (with a failure naming
  // the slot) unless every answer is "ok 0".
  bool run(const std::map<int, std::vector<std::string>>& commands, int timeoutMs = 15000) {
    for (const auto& [slot, lines] : commands)
      for (const std::string& line : lines) peer(slot).send(line);
    bool ok = true;
    for (const auto& [slot, lines] : commands)
      for (const std::string& line : lines) {
        std::vector<std::string> answer;
        if (!peer(slot).answer(answer, timeoutMs) || answer.empty() || answer[0] != "ok 0") {
          ADD_FAILURE() << "slot " << slot << ": " << line << " -> " << (answer.empty() ? "no answer" : answer[0]);
          ok = false;
        }
      }
    return ok;
  }
  bool all(const std::vector<int>& slots, const std::string& command) {
    std::map<int, std::vector<std::string>> commands;
    for (int slot : slots) commands[slot] = {command};
    return run(commands);
  }

  // Sets up a session (parents: the tree, -1 for a slot outside it) at to
  // (every slot in the tree when empty), connects the root among them first
  // and the others at once, and waits until each of those has pinged the
  // root over the tree, so that every link on the way has been adopted.
  bool join(const std::vector<int32_t>& parents, std::vector<int> to = {}) {
    const bool given = !to.empty();
    std::string setup = "setup";
    for (int32_t parent : parents) setup += " " + std::to_string(parent);
    for (int slot = 0; slot < Size && !given; ++slot)
      if (parents[size_t(slot)] >= 0) to.push_back(slot);
    std::vector<int> roots, others;
    for (int slot : to) (parents[size_t(slot)] == slot ? roots : others).push_back(slot);
    return all(to, setup) && all(roots, "connect") && all(others, "connect") && all(others, "pingroot");
  }

  // Collects the events of slots until done holds at each of them, or the
  // deadline passes.
  bool waitFor(const std::vector<int>& slots, const std::function<bool(const Received&)>& done,
               int timeoutMs = 60000) {
    return tessel_test::waitFor(
        [&] {
          collect(slots);
          return std::all_of(slots.begin(), slots.end(), [&](int slot) { return done(received(slot)); });
        },
        std::chrono::milliseconds(timeoutMs));
  }

  void collect(const std::vector<int>& slots) {
    for (int slot : slots) peer(slot).send("report");
    for (int slot : slots) {
      std::vector<std::string> lines;
      peer(slot).answer(lines, 10000);
      for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string kind;
        Message m{};
        in >> kind;
        if (kind == "m" && in >> m.tag >> m.origin >> m.seq >> m.jobPeer >> m.size) {
          received(slot).messages.push_back(m);
        } else if (kind == "d" && in >> m.origin) {
          received(slot).disconnected.insert(m.origin);
        } else {
          received(slot).other.push_back(line);
        }
      }
    }
  }

  // Every member sends count immediate broadcasts (I), as many ordered ones
  // (O) when ordered, and directs one-to-one packets (D) to every other
  // member, all at once and all reliable; true once each holds them all.
  bool exchange(const std::vector<int>& members, int count, int directs, bool ordered, int timeoutMs = 60000) {
    std::map<int, std::vector<std::string>> commands;
    for (int slot : members) {
      commands[slot].push_back("cast " + std::to_string(count) + " 1 I");
      if (ordered) commands[slot].push_back("cast " + std::to_string(count) + " 0 O");
      for (int to : members)
        if (to != slot) commands[slot].push_back("direct " + std::to_string(to) + " " + std::to_string(directs) + " D");
    }
    if (!run(commands, timeoutMs)) return false;
    const size_t broadcasts = members.size() * size_t(count), ones = (members.size() - 1) * size_t(directs);
    return waitFor(
        members,
        [&](const Received& r) {
          return r.count("I") >= broadcasts && r.count("D") >= ones && (!ordered || r.count("O") >= broadcasts);
        },
        timeoutMs);
  }

  // Checks what exchange sent at every member: each packet once and whole,
  // ordered broadcasts in their originator's order and in one order
  // everywhere (the root orders them all).
  void expectClean(const std::vector<int>& members, int count, int directs, bool ordered) {
    std::vector<std::pair<int32_t, int>> firstOrder;
    for (int slot : members) {
      SCOPED_TRACE("at slot " + std::to_string(slot));
      for (const std::string tag : {"I", "D", "O"}) {
        if (tag == "O" && !ordered) continue;
        std::map<int32_t, std::vector<int>> seqs;
        std::vector<std::pair<int32_t, int>> order;
        for (const Message& m : received(slot).messages) {
          if (m.tag != tag) continue;
          seqs[m.origin].push_back(m.seq);
          order.emplace_back(m.origin, m.seq);
          EXPECT_TRUE(m.jobPeer == m.origin && m.size == PayloadSize) << tag << " " << m.jobPeer << " " << m.size;
        }
        for (int from : members) {
          std::vector<int> sent;
          for (int seq = 1; seq <= (tag != "D" ? count : from == slot ? 0 : directs); ++seq) sent.push_back(seq);
          std::vector<int>& got = seqs[id(from)];
          if (tag != "O") std::sort(got.begin(), got.end());
          EXPECT_EQ(got, sent) << tag << " from slot " << from;
        }
        if (tag != "O") continue;
        if (slot == members[0]) firstOrder = order;
        EXPECT_EQ(order, firstOrder);
      }
    }
  }

 private:
  NetnsLab& lab_;
  int mode_;
  std::string key_;
  std::vector<std::unique_ptr<PeerProcess>> peers_;
  std::vector<Received> received_;
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (tessel_test::toolPath("tessel-fault-peer").empty()) GTEST_SKIP() << "tessel-fault-peer was not built";
    if (!NetnsLab::permitted(reason)) GTEST_SKIP() << reason;
    lab_ = std::make_unique<NetnsLab>(Size);
    ASSERT_TRUE(lab_->ok()) << lab_->error();
  }

  std::unique_ptr<NetnsLab> lab_;
};

}  // namespace

// A star in mode 3 (the root orders every ordered broadcast for all) and a
// tree of depth 2 in mode 7 (one order everywhere) with a room key (every
// packet sealed): every member sends immediate and ordered broadcasts and
// one-to-one packets to every other, at once, while every interface loses
// a fifth of its datagrams.
TEST_F(FaultTest, LossyLinksDeliverEveryReliablePacketOnceAndOrderedAlike) {
  const struct { int mode; std::vector<int32_t> parents; std::string key; } cases[] = {
      {3, {0, 0, 0, 0, 0, 0}, ""},
      {7, {0, 0, 0, 1, 1, 2}, std::string(32, 'k')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    if (c.mode != cases[0].mode) {  // a fresh lab, without the loss rules
      lab_.reset();
      lab_ = std::make_unique<NetnsLab>(Size);
    }
    ASSERT_TRUE(lab_->ok()) << lab_->error();
    FaultRoom room(*lab_, c.mode, c.key);
    ASSERT_TRUE(room.join(c.parents));
    for (int slot : Members) ASSERT_TRUE(lab_->setLoss(slot, 200));
    ASSERT_TRUE(room.all(Members, "peek"));
    int64_t start = tessel_test::steadyMs();
    EXPECT_TRUE(room.exchange(Members, 40, 8, true, 90000));
    uint64_t dropped = 0;
    for (int slot : Members) {
      dropped += lab_->dropped(slot);
      EXPECT_TRUE(room.received(slot).other.empty()) << room.received(slot).other[0];
      EXPECT_TRUE(room.received(slot).disconnected.empty()) << "slot " << slot;
    }
    std::printf("[mode %d] %llu datagrams dropped; all delivered after %.1f s\n", c.mode,
                static_cast<unsigned long long>(dropped), double(tessel_test::steadyMs() - start) / 1000);
    room.expectClean(Members, 40, 8, true);
    EXPECT_GT(dropped, 0u);
  }
}

// Slot 1 has children (3 and 4) and is killed outright. Every other member
// learns of it within ENet's timeout; the part of the tree that still hangs
// together goes on working, and a new session without it carries traffic
// to everyone.
TEST_F(FaultTest, KilledInnerNodeIsReportedAndTheRoomGoesOnWithoutIt) {
  FaultRoom room(*lab_, 0);
  ASSERT_TRUE(room.join({0, 0, 0, 1, 1, 2}));
  room.peer(1).kill();
  const std::vector<int> survivors = {0, 2, 3, 4, 5};
  ASSERT_TRUE(room.waitFor(
      survivors, [](const Received& r) { return r.disconnected.count(id(1)) > 0; }, EnetTimeoutBoundMs));

  ASSERT_TRUE(room.run({{0, {"cast 5 1 K"}}, {5, {"direct 0 5 K"}}}));
  EXPECT_TRUE(room.waitFor({0, 2, 5}, [](const Received& r) { return r.count("K") >= 5; }));
  EXPECT_TRUE(room.waitFor({0}, [](const Received& r) { return r.count("K") >= 10; }));

  // A new session without the dead node: a star around slot 0.
  ASSERT_TRUE(room.join({0, -1, 0, 0, 0, 0}));
  EXPECT_TRUE(room.exchange(survivors, 10, 3, false));
  room.expectClean(survivors, 10, 3, false);
}

// Slot 5, a leaf of a star, dies and comes back as a new process: the room
// removes it when ENet reports it gone, adds it again late (while
// connected), and its broadcasts and everyone else's flow again.
TEST_F(FaultTest, RestartedPeerAddedAgainLateReceivesBroadcastsAgain) {
  FaultRoom room(*lab_, 0);
  const std::vector<int32_t> star = {0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(room.join(star));
  room.peer(5).kill();
  const std::vector<int> others = {0, 1, 2, 3, 4};
  ASSERT_TRUE(room.waitFor(
      {0}, [](const Received& r) { return r.disconnected.count(id(5)) > 0; }, EnetTimeoutBoundMs));
  ASSERT_TRUE(room.all(others, "remove 5"));
  ASSERT_TRUE(room.all(others, "cast 5 1 G"));  // while it is away

  room.start(5);
  ASSERT_TRUE(room.all(others, "add 5"));
  ASSERT_TRUE(room.join(star, {5}));
  EXPECT_TRUE(room.exchange(Members, 10, 5, false));
  room.expectClean(Members, 10, 5, false);
  EXPECT_EQ(room.received(5).count("G"), 0u);
}
