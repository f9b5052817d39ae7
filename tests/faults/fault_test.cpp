// Faults that only separate hosts show: rooms of engines in processes of
// their own, each in a network namespace with its own address, joined by
// a bridge. Links lose datagrams at random (nftables), an inner node is
// killed outright, and a peer restarts and is added again. Every test
// prints its figures.
//
// Root is needed; where it or network namespaces are not permitted, every
// test is skipped with the reason.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/faults/netns_lab.h"
#include "tests/support/test_support.h"

using tessel_test::NetnsLab;
using tessel_test::PeerProcess;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t FirstId = 700;
constexpr int Port = 7000;
constexpr int PayloadSize = 120;
// ENet gives up on a silent peer after at most 30 s; allow for the time the
// room needs to pass the news on.
constexpr int64_t EnetTimeoutBoundMs = 40000;

std::string peerPath() { return tessel_test::toolPath("tessel-fault-peer"); }

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// One message as a member received it.
struct Message {
  std::string tag;
  int32_t origin;
  int seq;
  int32_t jobPeer;
  unsigned size;
};

struct Received {
  std::vector<Message> messages;
  std::vector<std::pair<int32_t, int64_t>> disconnects;  // peer, monotonic ms
  int foreign = 0;
  int errors = 0;

  size_t count(const std::string& tag) const {
    return size_t(std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.tag == tag; }));
  }
  bool disconnected(int32_t peer) const {
    return std::any_of(disconnects.begin(), disconnects.end(), [&](const auto& d) { return d.first == peer; });
  }
};

// What the checks found for one tag at one member.
struct Figures {
  size_t delivered = 0;
  size_t duplicated = 0;
  size_t outOfOrder = 0;  // a message whose sequence is below an earlier one of its originator
  size_t missing = 0;
  size_t wrong = 0;  // job peer differs from the originator, or the size is off
};

class FaultRoom {
 public:
  // Every member holds hexKey as the room key, when one is given.
  FaultRoom(NetnsLab& lab, int size, int mode, std::string hexKey = "")
      : lab_(lab), mode_(mode), hexKey_(std::move(hexKey)), peers_(size_t(size)), received_(size_t(size)) {
    for (int slot = 0; slot < size; ++slot) start(slot);
  }

  int size() const { return int(peers_.size()); }
  int32_t id(int slot) const { return FirstId + slot; }
  PeerProcess& peer(int slot) { return *peers_[size_t(slot)]; }
  Received& received(int slot) { return received_[size_t(slot)]; }

  void start(int slot) {
    std::vector<std::string> args{"peer", std::to_string(id(slot)), std::to_string(Port), std::to_string(mode_)};
    if (!hexKey_.empty()) args.push_back(hexKey_);
    peers_[size_t(slot)] = std::make_unique<PeerProcess>(lab_.ns(slot), peerPath(), args);
    received_[size_t(slot)] = Received();
  }

  // Tells every member of to (all of members when empty) the room (members
  // with their addresses, the tree) and sets it up; false when any refuses.
  bool describe(const std::vector<int>& members, const std::vector<int32_t>& parents, std::vector<int> to = {}) {
    std::string tree = "tree";
    for (int32_t parent : parents) tree += " " + std::to_string(parent);
    for (int self : to.empty() ? members : to) {
      for (int slot : members)
        if (!peer(self).send(member(slot))) return refused(self, "the members");
      if (!peer(self).send(tree)) return refused(self, "the tree");
      std::vector<std::string> ignored;
      for (size_t i = 0; i < members.size() + 1; ++i)
        if (!peer(self).answer(ignored, 10000)) return refused(self, "an answer to the room");
      int result = peer(self).call("setup 0 4096");
      if (result != 0) return refused(self, "setup (" + std::to_string(result) + ")");
    }
    return true;
  }

  // Says which member failed which step of a set-up; always false.
  bool refused(int slot, const std::string& step) {
    ADD_FAILURE() << "slot " << slot << " failed " << step << " (-10000: no answer in time)";
    return false;
  }

  std::string member(int slot) const {
    return "member " + std::to_string(id(slot)) + " " + std::to_string(slot) + " " + lab_.ip(slot) + " " +
           std::to_string(Port);
  }

  // The root first (unless it is connected already), then every other
  // member at once.
  bool connect(int root, const std::vector<int>& members, bool rootConnected = false) {
    if (!rootConnected && peer(root).call("connect 5000", 15000) != 0) return refused(root, "connect");
    for (int slot : members)
      if (slot != root && !peer(slot).send("connect 5000")) return refused(slot, "connect");
    bool ok = true;
    for (int slot : members) {
      std::vector<std::string> lines;
      if (slot != root && (!peer(slot).answer(lines, 15000) || lines.empty() || lines[0] != "ok 0"))
        ok = refused(slot, "connect");
    }
    // connect returns once the own Register is queued; a ping answered by
    // the root shows that every link on the way has been adopted.
    for (int slot : members)
      if (ok && slot != root && peer(slot).call("pingroot 10000", 15000) != 0) ok = refused(slot, "a ping to the root");
    return ok;
  }

  // Collects every member's events since the last collection.
  void collect(const std::vector<int>& members) {
    for (int slot : members) peer(slot).send("report");
    for (int slot : members) {
      std::vector<std::string> lines;
      if (!peer(slot).answer(lines, 10000)) continue;
      Received& into = received(slot);
      for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "m") {
          Message m{};
          in >> m.tag >> m.origin >> m.seq >> m.jobPeer >> m.size;
          into.messages.push_back(m);
        } else if (kind == "d") {
          int32_t who = -1;
          int64_t at = 0;
          in >> who >> at;
          into.disconnects.emplace_back(who, at);
        } else if (kind == "x") {
          ++into.foreign;
        } else if (kind == "e") {
          ++into.errors;
        }
      }
    }
  }

  // Collects until every member of members holds at least the counts in
  // expected (tag → count), or the deadline passes.
  bool waitFor(const std::vector<int>& members, const std::map<std::string, std::map<int, size_t>>& expected,
               int timeoutMs = 60000) {
    return tessel_test::waitFor(
        [&] {
          collect(members);
          for (const auto& [tag, counts] : expected)
            for (const auto& [slot, count] : counts)
              if (received(slot).count(tag) < count) return false;
          return true;
        },
        std::chrono::milliseconds(timeoutMs));
  }

  // Checks the messages of one tag at slot against what was sent: from
  // each origin, sequences 1..sent[origin], each exactly once.
  Figures check(int slot, const std::string& tag, const std::map<int32_t, int>& sent, unsigned size) {
    Figures f;
    std::map<int32_t, std::set<int>> seen;
    std::map<int32_t, int> last;
    for (const Message& m : received(slot).messages) {
      if (m.tag != tag) continue;
      ++f.delivered;
      if (!seen[m.origin].insert(m.seq).second) ++f.duplicated;
      if (m.seq < last[m.origin]) ++f.outOfOrder;
      last[m.origin] = std::max(last[m.origin], m.seq);
      if (m.jobPeer != m.origin || m.size != size) ++f.wrong;
    }
    for (const auto& [origin, count] : sent)
      for (int seq = 1; seq <= count; ++seq)
        if (seen[origin].count(seq) == 0) ++f.missing;
    return f;
  }

  // Checks and prints the figures of one tag at slot: nothing missing,
  // duplicated or wrong, and (ordered) each originator's order kept.
  void expectClean(const char* test, int slot, const std::string& tag, const std::map<int32_t, int>& sent,
                   bool ordered = false) {
    Figures f = check(slot, tag, sent, PayloadSize);
    std::printf("[%s] %s at slot %d: delivered %zu, duplicated %zu, out of order %zu, missing %zu, wrong %zu\n", test,
                tag.c_str(), slot, f.delivered, f.duplicated, f.outOfOrder, f.missing, f.wrong);
    EXPECT_EQ(f.duplicated + f.missing + f.wrong, 0u) << tag << " at slot " << slot;
    if (ordered) {
      EXPECT_EQ(f.outOfOrder, 0u) << tag << " at slot " << slot;
    }
  }

  // Every member sends count broadcasts of tag (and, when directs > 0, that
  // many one-to-one packets of tag + "D" to every other member), and each
  // holds them all within a minute; false otherwise.
  bool trafficArrives(const std::vector<int>& members, const std::string& tag, int count, bool immediate,
                      int directs = 0) {
    std::string size = std::to_string(PayloadSize);
    for (int slot : members) {
      if (peer(slot).call("cast " + std::to_string(count) + " 1 " + (immediate ? "1 " : "0 ") + size + " " + tag) != 0)
        return false;
      for (int to : members)
        if (directs > 0 && to != slot &&
            peer(slot).call("direct " + std::to_string(id(to)) + " " + std::to_string(directs) + " " + size + " " +
                            tag + "D") != 0)
          return false;
    }
    std::map<std::string, std::map<int, size_t>> expected;
    for (int slot : members) {
      expected[tag][slot] = members.size() * size_t(count);
      if (directs > 0) expected[tag + "D"][slot] = (members.size() - 1) * size_t(directs);
    }
    return waitFor(members, expected);
  }

  // What every member of members sent, count each.
  std::map<int32_t, int> fromEach(const std::vector<int>& members, int count, int except = -1) const {
    std::map<int32_t, int> sent;
    for (int slot : members)
      if (slot != except) sent[id(slot)] = count;
    return sent;
  }

  // The sequence of (origin, seq) of one tag as slot received it.
  std::vector<std::pair<int32_t, int>> order(int slot, const std::string& tag) {
    std::vector<std::pair<int32_t, int>> out;
    for (const Message& m : received(slot).messages)
      if (m.tag == tag) out.emplace_back(m.origin, m.seq);
    return out;
  }

 private:
  NetnsLab& lab_;
  int mode_;
  std::string hexKey_;
  std::vector<std::unique_ptr<PeerProcess>> peers_;
  std::vector<Received> received_;
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (peerPath().empty()) GTEST_SKIP() << "tessel-fault-peer was not built";
    if (!NetnsLab::permitted(reason)) GTEST_SKIP() << reason;
  }

  // A lab of hosts hosts, or a failed assertion.
  std::unique_ptr<NetnsLab> makeLab(int hosts) {
    auto lab = std::make_unique<NetnsLab>(hosts);
    EXPECT_TRUE(lab->ok()) << lab->error();
    return lab;
  }
};

std::vector<int> range(int n) {
  std::vector<int> out;
  for (int i = 0; i < n; ++i) out.push_back(i);
  return out;
}

}  // namespace

// Six members, a star in mode 3 (the root orders every ordered broadcast
// for all) and a tree of depth 2 in mode 7 (one order everywhere), the
// latter also with a room key (every packet sealed): every member sends
// immediate and ordered broadcasts and one-to-one packets to every other,
// all reliable, at once, while every interface loses datagrams.
TEST_F(FaultTest, LossyLinksDeliverEveryReliablePacketOnceAndOrderedAlike) {
  std::string reason;
  if (!NetnsLab::lossPermitted(reason)) GTEST_SKIP() << reason;
  constexpr int Size = 6;
  constexpr int Broadcasts = 40;
  constexpr int DirectsEach = 8;
  const struct {
    int mode;
    std::vector<int32_t> parents;
    int permille;
    bool keyed;
  } cases[] = {
      {3, {0, 0, 0, 0, 0, 0}, 50, false},
      {3, {0, 0, 0, 0, 0, 0}, 200, false},
      {7, {0, 0, 0, 1, 1, 2}, 200, false},
      {7, {0, 0, 0, 1, 1, 2}, 200, true},
  };
  for (const auto& c : cases) {
    const int permille = c.permille;
    const std::string name = "mode " + std::to_string(c.mode) + ", loss " + std::to_string(permille / 10) + "%" +
                             (c.keyed ? ", room key" : "");
    SCOPED_TRACE(name);
    auto lab = makeLab(Size);
    ASSERT_TRUE(lab->ok());
    FaultRoom room(*lab, Size, c.mode, c.keyed ? std::string(64, 'a') : "");
    std::vector<int> members = range(Size);
    ASSERT_TRUE(room.describe(members, c.parents));
    ASSERT_TRUE(room.connect(0, members));
    for (int slot : members) ASSERT_TRUE(lab->setLoss(slot, permille));
    std::string size = std::to_string(PayloadSize);
    for (int slot : members) {
      room.peer(slot).send("peek on");
      room.peer(slot).send("cast " + std::to_string(Broadcasts) + " 1 1 " + size + " I");
      room.peer(slot).send("cast " + std::to_string(Broadcasts) + " 1 0 " + size + " O");
      for (int to : members)
        if (to != slot)
          room.peer(slot).send("direct " + std::to_string(room.id(to)) + " " + std::to_string(DirectsEach) + " " +
                               size + " D");
    }
    for (int slot : members)
      for (int answers = 0; answers < 3 + Size - 1; ++answers) {
        std::vector<std::string> lines;
        ASSERT_TRUE(room.peer(slot).answer(lines, 60000));
        EXPECT_TRUE(lines.empty() || lines[0] == "ok 0") << "slot " << slot;
      }
    std::map<std::string, std::map<int, size_t>> expected;
    for (int slot : members) {
      expected["I"][slot] = expected["O"][slot] = Size * Broadcasts;
      expected["D"][slot] = (Size - 1) * DirectsEach;
    }
    auto trafficStart = Clock::now();
    bool complete = room.waitFor(members, expected, 90000);
    double trafficSeconds = std::chrono::duration<double>(Clock::now() - trafficStart).count();
    uint64_t seen = 0, dropped = 0;
    for (int slot : members) {
      uint64_t s = 0, d = 0;
      EXPECT_TRUE(lab->lossCounters(slot, s, d));
      seen += s;
      dropped += d;
      room.expectClean(name.c_str(), slot, "I", room.fromEach(members, Broadcasts));
      room.expectClean(name.c_str(), slot, "O", room.fromEach(members, Broadcasts), true);
      room.expectClean(name.c_str(), slot, "D", room.fromEach(members, DirectsEach, slot));
      EXPECT_EQ(room.received(slot).foreign + room.received(slot).errors, 0) << "slot " << slot;
      EXPECT_TRUE(room.received(slot).disconnects.empty()) << "slot " << slot;
      // The root orders them all (the star's only inner node, or mode 7's
      // log): the same order everywhere.
      EXPECT_EQ(room.order(slot, "O"), room.order(0, "O")) << "slot " << slot;
    }
    std::printf("[%s] datagrams reaching the members %llu, dropped %llu; all delivered after %.1f s\n", name.c_str(),
                static_cast<unsigned long long>(seen), static_cast<unsigned long long>(dropped), trafficSeconds);
    EXPECT_TRUE(complete);
    EXPECT_GT(dropped, 0u);
  }
}

// Slot 1 has children (3 and 4) and is killed outright. Every other member
// learns of it within ENet's timeout; the rest of the tree goes on working,
// and a new session without it carries traffic to everyone.
TEST_F(FaultTest, KilledInnerNodeIsReportedAndTheRoomGoesOnWithoutIt) {
  constexpr int Size = 6;
  auto lab = makeLab(Size);
  ASSERT_TRUE(lab->ok());
  FaultRoom room(*lab, Size, 0);
  std::vector<int> members = range(Size);
  ASSERT_TRUE(room.describe(members, {0, 0, 0, 1, 1, 2}));
  ASSERT_TRUE(room.connect(0, members));
  ASSERT_TRUE(room.trafficArrives(members, "W", 5, true));

  const int32_t killed = room.id(1);
  int64_t killedAt = nowMs();
  room.peer(1).kill();
  std::vector<int> survivors = {0, 2, 3, 4, 5};
  bool told = tessel_test::waitFor(
      [&] {
        room.collect(survivors);
        return std::all_of(survivors.begin(), survivors.end(),
                           [&](int slot) { return room.received(slot).disconnected(killed); });
      },
      std::chrono::milliseconds(EnetTimeoutBoundMs + 5000));
  ASSERT_TRUE(told);
  for (int slot : survivors) {
    const auto& d = room.received(slot).disconnects;
    auto first = std::find_if(d.begin(), d.end(), [&](const auto& e) { return e.first == killed; });
    std::printf("[kill] slot %d learned of the killed node after %lld ms\n", slot,
                static_cast<long long>(first->second - killedAt));
    // The only timed check of these tests: ENet's own timeout bounds it.
    EXPECT_LE(first->second - killedAt, EnetTimeoutBoundMs) << "slot " << slot;
  }

  // The part of the tree that still hangs together still carries traffic.
  ASSERT_EQ(room.peer(0).call("cast 5 1 1 64 A"), 0);
  ASSERT_EQ(room.peer(5).call("direct " + std::to_string(room.id(0)) + " 5 64 D"), 0);
  EXPECT_TRUE(room.waitFor({0, 2, 5}, {{"A", {{0, 5}, {2, 5}, {5, 5}}}, {"D", {{0, 5}}}}));

  // A new session without the dead node: a star around slot 0.
  ASSERT_TRUE(room.describe(survivors, {0, -1, 0, 0, 0, 0}));
  ASSERT_TRUE(room.connect(0, survivors));
  for (int slot : survivors) room.received(slot) = Received();
  EXPECT_TRUE(room.trafficArrives(survivors, "N", 10, true, 3));
  for (int slot : survivors) {
    room.expectClean("new session", slot, "N", room.fromEach(survivors, 10));
    room.expectClean("new session", slot, "ND", room.fromEach(survivors, 3, slot));
  }
}

// Slot 5, a leaf of a star, dies and comes back as a new process: the room
// removes it when ENet reports it gone, adds it again late (while
// connected), and its broadcasts and everyone else's flow again.
TEST_F(FaultTest, RestartedPeerAddedAgainLateReceivesBroadcastsAgain) {
  constexpr int Size = 6;
  auto lab = makeLab(Size);
  ASSERT_TRUE(lab->ok());
  FaultRoom room(*lab, Size, 0);
  std::vector<int> members = range(Size);
  const std::vector<int32_t> star = {0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(room.describe(members, star));
  ASSERT_TRUE(room.connect(0, members));

  const int32_t restarted = room.id(5);
  room.peer(5).kill();
  std::vector<int> others = {0, 1, 2, 3, 4};
  ASSERT_TRUE(tessel_test::waitFor(
      [&] {
        room.collect({0});
        return room.received(0).disconnected(restarted);
      },
      std::chrono::milliseconds(EnetTimeoutBoundMs + 5000)));
  for (int slot : others) ASSERT_EQ(room.peer(slot).call("remove " + std::to_string(restarted)), 0);
  // Traffic while it is away reaches only those present.
  for (int slot : others) ASSERT_EQ(room.peer(slot).call("cast 5 1 1 64 G"), 0);

  // The room adds it again while connected; then it joins with the room's
  // description, hanging below the root.
  room.start(5);
  for (int slot : others)
    ASSERT_EQ(room.peer(slot).call("add " + room.member(5).substr(std::string("member ").size())), 0);
  ASSERT_TRUE(room.describe(members, star, {5}));
  ASSERT_TRUE(room.connect(0, {0, 5}, true));

  // Broadcasts once it is back, from everyone, itself included, and
  // one-to-one packets to and from it.
  EXPECT_TRUE(room.trafficArrives(members, "B", 10, true, 5));
  for (int slot : members) {
    room.expectClean("restart", slot, "B", room.fromEach(members, 10));
    room.expectClean("restart", slot, "BD", room.fromEach(members, 5, slot));
  }
  EXPECT_EQ(room.received(5).count("G"), 0u);  // sent while it was away
}
