// Faults that only separate hosts show: rooms of engines in processes of
// their own, each in a network namespace with its own address, joined by
// a bridge. Links lose datagrams at random (nftables), an inner node is
// killed outright, a peer restarts and is added again, and a stranger
// sprays garbage at every port. Every test prints its figures.
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
  FaultRoom(NetnsLab& lab, int size, int mode) : lab_(lab), mode_(mode), peers_(size_t(size)), received_(size_t(size)) {
    for (int slot = 0; slot < size; ++slot) start(slot);
  }

  int size() const { return int(peers_.size()); }
  int32_t id(int slot) const { return FirstId + slot; }
  PeerProcess& peer(int slot) { return *peers_[size_t(slot)]; }
  Received& received(int slot) { return received_[size_t(slot)]; }

  void start(int slot) {
    peers_[size_t(slot)] = std::make_unique<PeerProcess>(
        lab_.ns(slot), peerPath(),
        std::vector<std::string>{"peer", std::to_string(id(slot)), std::to_string(Port), std::to_string(mode_)});
    received_[size_t(slot)] = Received();
  }

  // Tells every member the room (members with their addresses, the tree)
  // and sets it up; false when any refuses.
  bool describe(const std::vector<int>& members, const std::vector<int32_t>& parents, int capacity = 4096) {
    std::ostringstream tree;
    tree << "tree";
    for (int32_t parent : parents) tree << ' ' << parent;
    for (int self : members) {
      for (int slot : members)
        if (!peer(self).send(member(slot))) return refused(self, "the members");
      if (!peer(self).send(tree.str())) return refused(self, "the tree");
      std::vector<std::string> ignored;
      for (size_t i = 0; i < members.size() + 1; ++i)
        if (!peer(self).answer(ignored, 10000)) return refused(self, "an answer to the room");
      int result = peer(self).call("setup 0 " + std::to_string(capacity));
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

  // The root first, then every other member at once.
  bool connect(int root, const std::vector<int>& members) {
    if (peer(root).call("connect 5000", 15000) != 0) return refused(root, "connect");
    for (int slot : members)
      if (slot != root && !peer(slot).send("connect 5000")) return refused(slot, "connect");
    bool ok = true;
    for (int slot : members) {
      if (slot == root) continue;
      std::vector<std::string> lines;
      if (!peer(slot).answer(lines, 15000) || lines.empty() || lines[0] != "ok 0") ok = refused(slot, "connect");
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
  std::vector<std::unique_ptr<PeerProcess>> peers_;
  std::vector<Received> received_;
};

void printFigures(const char* test, const std::string& what, int slot, const Figures& f) {
  std::printf("[%s] %-9s at slot %d: delivered %zu, duplicated %zu, out of order %zu, missing %zu, wrong %zu\n", test,
              what.c_str(), slot, f.delivered, f.duplicated, f.outOfOrder, f.missing, f.wrong);
}

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

// A star of six (the root orders every ordered broadcast for all): every
// member sends immediate and ordered broadcasts and one-to-one packets to
// every other, all reliable, while every interface loses datagrams.
TEST_F(FaultTest, LossyLinksDeliverEveryReliablePacketOnceAndOrderedAlike) {
  std::string reason;
  if (!NetnsLab::lossPermitted(reason)) GTEST_SKIP() << reason;
  constexpr int Size = 6;
  constexpr int Broadcasts = 40;
  constexpr int DirectsEach = 8;
  for (int permille : {50, 200}) {
    SCOPED_TRACE("loss " + std::to_string(permille / 10) + "%");
    auto lab = makeLab(Size);
    ASSERT_TRUE(lab->ok());
    FaultRoom room(*lab, Size, 3);
    std::vector<int> members = range(Size);
    ASSERT_TRUE(room.describe(members, {0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(room.connect(0, members));
    for (int slot : members) ASSERT_TRUE(lab->setLoss(slot, permille));

    for (int slot : members) room.peer(slot).send("peek on");
    // Everyone sends at once; each answers when its sends are queued.
    std::string size = std::to_string(PayloadSize);
    for (int slot : members) {
      room.peer(slot).send("cast " + std::to_string(Broadcasts) + " 1 1 " + size + " I");
      room.peer(slot).send("cast " + std::to_string(Broadcasts) + " 1 0 " + size + " O");
      for (int to : members)
        if (to != slot) room.peer(slot).send("direct " + std::to_string(room.id(to)) + " " +
                                             std::to_string(DirectsEach) + " " + size + " D");
    }
    for (int slot : members) {
      std::vector<std::string> lines;
      for (int answers = 0; answers < 2 + Size - 1 + 1; ++answers) {
        lines.clear();
        ASSERT_TRUE(room.peer(slot).answer(lines, 60000));
        if (!lines.empty()) {
          ASSERT_EQ(lines[0], "ok 0") << "slot " << slot;
        }
      }
    }
    std::map<std::string, std::map<int, size_t>> expected;
    for (int slot : members) {
      expected["I"][slot] = Size * Broadcasts;
      expected["O"][slot] = Size * Broadcasts;
      expected["D"][slot] = (Size - 1) * DirectsEach;
    }
    auto trafficStart = Clock::now();
    bool complete = room.waitFor(members, expected, 90000);
    double trafficSeconds = std::chrono::duration<double>(Clock::now() - trafficStart).count();

    std::map<int32_t, int> broadcasts;
    for (int slot : members) broadcasts[room.id(slot)] = Broadcasts;
    const char* name = permille == 50 ? "loss 5%" : "loss 20%";
    uint64_t seen = 0, dropped = 0;
    for (int slot : members) {
      uint64_t s = 0, d = 0;
      EXPECT_TRUE(lab->lossCounters(slot, s, d));
      seen += s;
      dropped += d;
      std::map<int32_t, int> directs;
      for (int from : members)
        if (from != slot) directs[room.id(from)] = DirectsEach;
      for (const auto& [tag, sent] : {std::make_pair(std::string("I"), broadcasts),
                                      std::make_pair(std::string("O"), broadcasts),
                                      std::make_pair(std::string("D"), directs)}) {
        Figures f = room.check(slot, tag, sent, PayloadSize);
        printFigures(name, tag == "I" ? "immediate" : tag == "O" ? "ordered" : "direct", slot, f);
        EXPECT_EQ(f.duplicated, 0u) << tag << " at slot " << slot;
        EXPECT_EQ(f.missing, 0u) << tag << " at slot " << slot;
        EXPECT_EQ(f.wrong, 0u) << tag << " at slot " << slot;
        if (tag == "O") {
          EXPECT_EQ(f.outOfOrder, 0u) << "slot " << slot;
        }
      }
      EXPECT_EQ(room.received(slot).foreign, 0);
      EXPECT_EQ(room.received(slot).errors, 0);
      for (const auto& [peer, at] : room.received(slot).disconnects)
        std::printf("[%s] slot %d was told that %d left (at %lld ms)\n", name, slot, peer, static_cast<long long>(at));
      EXPECT_TRUE(room.received(slot).disconnects.empty()) << "slot " << slot;
    }
    // One inner node, the root, orders them all: the same order everywhere.
    auto rootOrder = room.order(0, "O");
    for (int slot : members) EXPECT_EQ(room.order(slot, "O"), rootOrder) << "slot " << slot;
    std::printf("[%s] sent per member: %d immediate, %d ordered, %d direct; datagrams reaching the members %llu, "
                "dropped %llu (loss rate %.1f%%); all delivered after %.1f s\n",
                name, Broadcasts, Broadcasts, (Size - 1) * DirectsEach, static_cast<unsigned long long>(seen),
                static_cast<unsigned long long>(dropped), seen ? 100.0 * double(dropped) / double(seen) : 0.0,
                trafficSeconds);
    EXPECT_TRUE(complete);
    EXPECT_GT(dropped, 0u);
    for (int slot : members) room.peer(slot).quit();
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
  for (int slot : members) ASSERT_EQ(room.peer(slot).call("cast 5 1 1 64 W"), 0);
  std::map<std::string, std::map<int, size_t>> warm;
  for (int slot : members) warm["W"][slot] = Size * 5;
  ASSERT_TRUE(room.waitFor(members, warm));

  const int32_t killed = room.id(1);
  int64_t killedAt = nowMs();
  room.peer(1).kill();
  std::vector<int> survivors = {0, 2, 3, 4, 5};
  bool told = tessel_test::waitFor(
      [&] {
        room.collect(survivors);
        for (int slot : survivors)
          if (!room.received(slot).disconnected(killed)) return false;
        return true;
      },
      std::chrono::milliseconds(EnetTimeoutBoundMs + 5000));
  int64_t slowest = 0;
  for (int slot : survivors) {
    const Received& r = room.received(slot);
    auto first = std::find_if(r.disconnects.begin(), r.disconnects.end(), [&](const auto& d) { return d.first == killed; });
    if (first == r.disconnects.end()) {
      ADD_FAILURE() << "slot " << slot << " was never told";
      continue;
    }
    int64_t after = first->second - killedAt;
    slowest = std::max(slowest, after);
    std::printf("[kill] slot %d learned of the killed node after %lld ms (%zu disconnect jobs)\n", slot,
                static_cast<long long>(after), r.disconnects.size());
    // The only timed check of these tests: ENet's own timeout bounds it.
    EXPECT_LE(after, EnetTimeoutBoundMs) << "slot " << slot;
  }
  ASSERT_TRUE(told);

  // The part of the tree that still hangs together still carries traffic.
  ASSERT_EQ(room.peer(0).call("cast 5 1 1 64 A"), 0);
  ASSERT_EQ(room.peer(5).call("direct " + std::to_string(room.id(0)) + " 5 64 D"), 0);
  std::map<std::string, std::map<int, size_t>> after;
  after["A"] = {{0, 5}, {2, 5}, {5, 5}};
  after["D"] = {{0, 5}};
  EXPECT_TRUE(room.waitFor({0, 2, 5}, after));

  // A new session without the dead node: a star around slot 0.
  ASSERT_TRUE(room.describe(survivors, {0, -1, 0, 0, 0, 0}));
  ASSERT_TRUE(room.connect(0, survivors));
  for (int slot : survivors) room.received(slot) = Received();
  for (int slot : survivors) {
    ASSERT_EQ(room.peer(slot).call("cast 10 1 1 " + std::to_string(PayloadSize) + " N"), 0);
    for (int to : survivors)
      if (to != slot) {
        ASSERT_EQ(room.peer(slot).call("direct " + std::to_string(room.id(to)) + " 3 " + std::to_string(PayloadSize) +
                                       " E"),
                  0);
      }
  }
  std::map<std::string, std::map<int, size_t>> expected;
  for (int slot : survivors) {
    expected["N"][slot] = survivors.size() * 10;
    expected["E"][slot] = (survivors.size() - 1) * 3;
  }
  bool complete = room.waitFor(survivors, expected);
  std::map<int32_t, int> casts, directs;
  for (int slot : survivors) casts[room.id(slot)] = 10;
  for (int slot : survivors) {
    directs.clear();
    for (int from : survivors)
      if (from != slot) directs[room.id(from)] = 3;
    Figures n = room.check(slot, "N", casts, PayloadSize);
    Figures d = room.check(slot, "E", directs, PayloadSize);
    printFigures("new session", "broadcast", slot, n);
    printFigures("new session", "direct", slot, d);
    EXPECT_EQ(n.missing + n.duplicated + n.wrong + d.missing + d.duplicated + d.wrong, 0u) << "slot " << slot;
  }
  std::printf("[kill] slowest member learned of it after %lld ms; new session of %zu members: %s\n",
              static_cast<long long>(slowest), survivors.size(), complete ? "complete" : "incomplete");
  EXPECT_TRUE(complete);
  for (int slot : survivors) room.peer(slot).quit();
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

  room.start(5);
  // The room adds it again while connected; then it joins with the room's
  // description, hanging below the root.
  for (int slot : others)
    ASSERT_EQ(room.peer(slot).call("add " + room.member(5).substr(std::string("member ").size())), 0);
  for (int slot : members)
    ASSERT_TRUE(room.peer(5).send(room.member(slot)));
  ASSERT_TRUE(room.peer(5).send("tree 0 0 0 0 0 0"));
  std::vector<std::string> ignored;
  for (int i = 0; i < Size + 1; ++i) ASSERT_TRUE(room.peer(5).answer(ignored, 10000));
  ASSERT_EQ(room.peer(5).call("setup 0 4096"), 0);
  ASSERT_EQ(room.peer(5).call("connect 5000", 15000), 0);
  ASSERT_EQ(room.peer(5).call("pingroot 10000", 15000), 0);

  // Broadcasts once it is back: from everyone, itself included.
  for (int slot : members) ASSERT_EQ(room.peer(slot).call("cast 10 1 1 " + std::to_string(PayloadSize) + " B"), 0);
  ASSERT_EQ(room.peer(1).call("direct " + std::to_string(restarted) + " 5 " + std::to_string(PayloadSize) + " D"), 0);
  std::map<std::string, std::map<int, size_t>> expected;
  for (int slot : members) expected["B"][slot] = Size * 10;
  expected["D"][5] = 5;
  bool complete = room.waitFor(members, expected);
  std::map<int32_t, int> casts;
  for (int slot : members) casts[room.id(slot)] = 10;
  for (int slot : members) {
    Figures f = room.check(slot, "B", casts, PayloadSize);
    printFigures("restart", "broadcast", slot, f);
    EXPECT_EQ(f.missing + f.duplicated + f.wrong, 0u) << "slot " << slot;
  }
  Figures d = room.check(5, "D", {{room.id(1), 5}}, PayloadSize);
  printFigures("restart", "direct", 5, d);
  EXPECT_EQ(d.missing + d.duplicated + d.wrong, 0u);
  EXPECT_EQ(room.received(5).count("G"), 0u);  // sent while it was away
  EXPECT_TRUE(complete);
  for (int slot : members) room.peer(slot).quit();
}

// A stranger on the same network sprays every member's port with random
// datagrams and, over ENet connections of its own, with random packets of
// overlay types, while the room (mode 3, a tree with two inner nodes below
// the root) sends broadcasts of both kinds and one-to-one packets.
// Nothing of it is delivered, and everything the room sends is, once.
TEST_F(FaultTest, GarbageSprayedAtEveryPortChangesNothingDelivered) {
  constexpr int Size = 6;
  constexpr int Broadcasts = 30;
  auto lab = makeLab(Size + 1);
  ASSERT_TRUE(lab->ok());
  FaultRoom room(*lab, Size, 3);
  std::vector<int> members = range(Size);
  // 0 root; 1 and 2 below it; 3 and 4 below 1; 5 below 2.
  ASSERT_TRUE(room.describe(members, {0, 0, 0, 1, 1, 2}));
  ASSERT_TRUE(room.connect(0, members));
  for (int slot : members) ASSERT_EQ(room.peer(slot).call("peek on"), 0);

  std::vector<std::string> sprayArgs = {"spray", "8"};
  for (int slot : members) sprayArgs.push_back(lab->ip(slot) + ":" + std::to_string(Port));
  PeerProcess sprayer(lab->ns(Size), peerPath(), sprayArgs);
  ASSERT_TRUE(sprayer.running());

  std::string size = std::to_string(PayloadSize);
  for (int round = 0; round < 3; ++round) {
    for (int slot : members) {
      ASSERT_EQ(room.peer(slot).call("cast " + std::to_string(Broadcasts / 3) + " 1 1 " + size + " I"), 0);
      ASSERT_EQ(room.peer(slot).call("cast " + std::to_string(Broadcasts / 3) + " 1 0 " + size + " O"), 0);
      int to = (slot + 1 + round) % Size;
      if (to == slot) to = (to + 1) % Size;
      ASSERT_EQ(room.peer(slot).call("direct " + std::to_string(room.id(to)) + " 5 " + size + " D"), 0);
    }
    room.collect(members);
  }
  std::string sprayed = sprayer.readAll(30000);
  long long datagrams = 0, packets = 0;
  EXPECT_EQ(std::sscanf(sprayed.c_str(), "sprayed %lld %lld", &datagrams, &packets), 2) << sprayed;

  std::map<std::string, std::map<int, size_t>> expected;
  for (int slot : members) {
    expected["I"][slot] = Size * Broadcasts;
    expected["O"][slot] = Size * Broadcasts;
  }
  bool complete = room.waitFor(members, expected);
  std::map<int32_t, int> casts;
  for (int slot : members) casts[room.id(slot)] = Broadcasts;
  for (int slot : members) {
    std::map<int32_t, int> directs;
    for (int round = 0; round < 3; ++round)
      for (int from : members) {
        int to = (from + 1 + round) % Size;
        if (to == from) to = (to + 1) % Size;
        if (to == slot) directs[room.id(from)] += 5;
      }
    for (const auto& [tag, sent] : {std::make_pair(std::string("I"), casts), std::make_pair(std::string("O"), casts),
                                    std::make_pair(std::string("D"), directs)}) {
      Figures f = room.check(slot, tag, sent, PayloadSize);
      printFigures("garbage", tag == "I" ? "immediate" : tag == "O" ? "ordered" : "direct", slot, f);
      EXPECT_EQ(f.duplicated + f.missing + f.wrong, 0u) << tag << " at slot " << slot;
      // Every originator's own broadcasts keep their order everywhere.
      if (tag == "O") {
        EXPECT_EQ(f.outOfOrder, 0u) << "slot " << slot;
      }
    }
    EXPECT_EQ(room.received(slot).foreign, 0) << "slot " << slot;
    EXPECT_EQ(room.received(slot).errors, 0) << "slot " << slot;
    EXPECT_TRUE(room.received(slot).disconnects.empty()) << "slot " << slot;
  }
  // Members below one inner node share its order.
  for (const auto& group : std::vector<std::vector<int>>{{1, 3, 4}, {2, 5}})
    for (int slot : group) EXPECT_EQ(room.order(slot, "O"), room.order(group[0], "O")) << "slot " << slot;
  std::printf("[garbage] sprayed %lld raw datagrams and %lld packets over stranger connections; per member sent %d "
              "immediate, %d ordered, 15 direct\n",
              datagrams, packets, Broadcasts, Broadcasts);
  EXPECT_GT(datagrams, 0);
  EXPECT_TRUE(complete);
  for (int slot : members) room.peer(slot).quit();
}
