// tessel-room's core, without processes: pipe messages cross a real pipe
// whole even when they arrive in pieces and a traffic stamp survives a
// payload; the round-trip matrix, the places and the yardsticks the
// planner's tree is held against; and the verdict on made-up runs, where a
// clean run passes and every kind of fault the library could commit (a
// loss, a duplicate, a stray, a wrong originator, an order that strays from
// the parent's log or breaks an originator's order) fails, except what a
// delivery mode allows.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/room/room_checks.h"
#include "tools/room/room_latency.h"
#include "tools/room/room_wire.h"

using namespace tessel_room;
using Runs = std::vector<PeerRun>;

namespace {

// A nonblocking pipe: its read end, then its write end.
std::array<int, 2> makePipe() {
  std::array<int, 2> ends{-1, -1};
  EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK), 0);
  return ends;
}

constexpr int32_t FirstId = 1000;
// Slot 0 is the root with children 1 and 2; 3 and 4 hang below 1. Inner
// nodes 0 and 1; groups {0, 2} and {1, 3, 4}.
const std::vector<int> Parents = {0, 0, 0, 1, 1};
constexpr uint32_t PerOrigin = 3;

Delivery message(uint8_t kind, int origin, uint32_t sequence) {
  return Delivery{kind, uint8_t(origin), sequence, FirstId + origin, 5, 2};
}

// Every peer sends PerOrigin of each kind (direct ones to every other
// peer) and everything arrives once. Ordered broadcasts arrive sequence by
// sequence in group 0 and originator by originator, the last first, in
// group 1.
Runs cleanRun() {
  const int n = static_cast<int>(Parents.size());
  Runs runs(static_cast<size_t>(n));
  for (int slot = 0; slot < n; ++slot) {
    PeerRun& run = runs[size_t(slot)];
    run.peerId = FirstId + slot;
    run.parent = Parents[size_t(slot)];
    run.directTo.assign(size_t(n), PerOrigin);
    run.directTo[size_t(slot)] = 0;
    run.immediateSent = run.orderedSent = PerOrigin;
    for (int origin = 0; origin < n; ++origin)
      for (uint32_t sequence = 0; sequence < PerOrigin; ++sequence) {
        if (origin != slot) run.received.push_back(message(KindDirect, origin, sequence));
        run.received.push_back(message(KindImmediate, origin, sequence));
      }
    const bool groupOne = slot == 1 || slot >= 3;
    for (uint32_t i = 0; i < n * PerOrigin; ++i)
      run.received.push_back(groupOne ? message(KindOrdered, n - 1 - int(i / PerOrigin), i % PerOrigin)
                                      : message(KindOrdered, int(i % n), i / n));
    run.jobs[1] = static_cast<uint32_t>(run.received.size());
  }
  return runs;
}

// Index of the k-th ordered delivery at a peer.
size_t orderedAt(const PeerRun& run, size_t k) {
  for (size_t i = 0; i < run.received.size(); ++i)
    if (run.received[i].kind == KindOrdered && k-- == 0) return i;
  return run.received.size();
}

std::string failures(const RoomVerdict& verdict) {
  std::string text;
  for (const Check& check : verdict.checks)
    if (check.level == Check::Fail) text += check.text + "\n";
  return text;
}

bool mentions(const RoomVerdict& verdict, Check::Level level, const std::string& part) {
  return std::any_of(verdict.checks.begin(), verdict.checks.end(), [&](const Check& check) {
    return check.level == level && check.text.find(part) != std::string::npos;
  });
}

TEST(RoomWireTest, MessagesCrossAPipeWholeAndBadOnesAreRefused) {
  const auto there = makePipe(), back = makePipe();
  MessageChannel sender(back[0], there[1]);
  MessageChannel receiver(there[0], back[1]);

  // More than a pipe holds at once: the receiver drains while the sender
  // pushes, as the processes would.
  const std::string big(200000, 'x');
  MessageWriter first(MsgPingList);
  first.blob(big).i32(-5).u16(7).u8(9);
  std::string message;
  bool sent = false;
  std::thread push([&] { sent = sender.send(first.bytes()); });
  ASSERT_TRUE(tessel_test::waitFor([&] {
    receiver.receive();
    return receiver.next(message);
  }));
  push.join();
  ASSERT_TRUE(sent);
  MessageReader reader(message);
  EXPECT_EQ(reader.type(), MsgPingList);
  std::string blob;
  int32_t number = 0;
  uint16_t small = 0;
  uint8_t tiny = 0;
  ASSERT_TRUE(reader.blob(blob) && reader.i32(number) && reader.u16(small) && reader.u8(tiny));
  EXPECT_TRUE(blob == big);
  EXPECT_EQ(std::tuple(number, small, tiny), std::tuple(-5, uint16_t(7), uint8_t(9)));
  EXPECT_FALSE(reader.u8(tiny)) << "nothing past the end";

  // A frame written a byte at a time is taken only once it is whole.
  MessageWriter second(MsgRosterDone);
  second.u32(42);
  uint32_t length = static_cast<uint32_t>(second.bytes().size());
  const std::string frame = std::string(reinterpret_cast<const char*>(&length), 4) + second.bytes();
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_EQ(write(there[1], frame.data() + i, 1), 1);
    receiver.receive();
    EXPECT_EQ(receiver.next(message), i + 1 == frame.size()) << "after byte " << i;
  }
  sender.close();
  EXPECT_TRUE(tessel_test::waitFor([&] { return !receiver.receive() && receiver.closed(); }));

  // Lengths of nothing or past the limit break the channel.
  for (uint32_t bad : {0u, MessageChannel::MaxMessageSize + 1}) {
    const auto pipe = makePipe();
    MessageChannel channel(pipe[0], -1);
    ASSERT_EQ(write(pipe[1], &bad, 4), 4);
    EXPECT_TRUE(tessel_test::waitFor([&] {
      channel.receive();
      return !channel.next(message) && channel.broken();
    })) << bad;
    close(pipe[1]);
  }
  // A blob whose length runs past the body is refused and consumes nothing.
  MessageWriter writer(MsgTopology);
  writer.u32(1000).u8(1);
  MessageReader shortBody(writer.bytes());
  EXPECT_FALSE(shortBody.blob(blob));
  EXPECT_TRUE(shortBody.u32(length));
  EXPECT_EQ(length, 1000u);
}

TEST(RoomWireTest, StampsSurviveAPayloadAndForeignBytesAreRefused) {
  const TrafficStamp stamp{KindOrdered, 31, 0xA1B2C3D4, 0xFFFFFFF0};
  auto fields = [](const TrafficStamp& s) { return std::tuple(s.kind, s.origin, s.sequence, s.sentTick); };
  TrafficStamp out;
  for (size_t size : {size_t(12), size_t(1024)}) {
    const std::string payload = stamp.payload(size);
    ASSERT_EQ(payload.size(), size);
    ASSERT_TRUE(TrafficStamp::parse(payload.data(), payload.size(), out));
    EXPECT_EQ(fields(out), fields(stamp));
  }
  // Too short, no bytes, a wrong magic byte, a kind that does not exist.
  std::string good = stamp.payload(32), wrongMagic = good, wrongKind = good;
  wrongMagic[0] = 'X';
  wrongKind[1] = 9;
  EXPECT_FALSE(TrafficStamp::parse(good.data(), 11, out));
  EXPECT_FALSE(TrafficStamp::parse(nullptr, 32, out));
  EXPECT_FALSE(TrafficStamp::parse(wrongMagic.data(), wrongMagic.size(), out));
  EXPECT_FALSE(TrafficStamp::parse(wrongKind.data(), wrongKind.size(), out));
}

TEST(RoomLatencyTest, MatrixIsReadOrRefusedAndPlacesAreHandedOutInTurn) {
  // Three places where going through B is shorter than the direct A-C link.
  LatencyMatrix matrix;
  std::string why;
  ASSERT_TRUE(LatencyMatrix::parse("place,A,B,C\nA,0,20,100\nB,20,0,20\nC,100,24,0\n", matrix, why)) << why;
  ASSERT_EQ(matrix.size(), 3);
  EXPECT_EQ(matrix.find("b"), 1);
  EXPECT_EQ(matrix.find("D"), -1);
  EXPECT_EQ(matrix.largestRtt(), 100);
  // The shim holds each direction back by half its row's round trip.
  EXPECT_DOUBLE_EQ(matrix.expectedPing(1, 2), (20 + 24) / 4.0);

  const std::pair<const char*, const char*> refused[] = {
      {"", "no header row"},
      {"place\n", "not 1 to"},
      {"place,A,A\nA,0,1\nA,1,0\n", "named twice"},
      {"place,A,B\nA,0,1\n", "2 places in the header but 1 rows"},
      {"place,A,B\nA,0,1\nC,1,0\n", "row 2 is not B"},
      {"place,A,B\nA,0,1\nB,1\n", "row 2 is not B"},
      {"place,A,B\nA,0,fast\nB,1,0\n", "'fast' is not a round trip"},
      {"place,A,B\nA,0,-1\nB,1,0\n", "'-1' is not a round trip"},
  };
  for (const auto& [text, reason] : refused) {
    LatencyMatrix untouched = matrix;
    EXPECT_FALSE(LatencyMatrix::parse(text, untouched, why)) << text;
    EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
    EXPECT_EQ(untouched.size(), 3) << "a refused matrix changes nothing";
  }

  std::vector<int> places;
  ASSERT_TRUE(assignPlaces(matrix, "", 5, places, why));
  EXPECT_EQ(places, (std::vector<int>{0, 1, 2, 0, 1}));
  ASSERT_TRUE(assignPlaces(matrix, "c,A", 3, places, why));
  EXPECT_EQ(places, (std::vector<int>{2, 0, 2}));
  EXPECT_FALSE(assignPlaces(matrix, "A,Z", 3, places, why));
  EXPECT_NE(why.find("no place 'Z'"), std::string::npos) << why;
  const std::string config = shimConfiguration(matrix, 0.05, 3, "/tmp/ports");
  for (const char* line : {"places 3\n", "delay 0 2 50000\n", "delay 2 1 12000\n", "loss 0.050000\n",
                           "jitter 3000\n", "ports /tmp/ports\n"})
    EXPECT_NE(config.find(line), std::string::npos) << line << " in\n" << config;
}

TEST(RoomLatencyTest, YardsticksIgnoreTheFanOut) {
  // Latency as the planner would use it: symmetric, -1 unknown.
  const std::vector<std::vector<double>> link = {{0, 10, 50, 12}, {10, 0, 10, -1}, {50, 10, 0, 45}, {12, -1, 45, 0}};
  auto latency = [&](int a, int b) { return link[size_t(a)][size_t(b)]; };
  auto everyone = [](int) { return true; };
  auto notOne = [](int slot) { return slot != 1; };
  // Stars: roots 0 and 2 reach everyone (worst 50), 1 and 3 do not (an
  // unknown link). Shortest paths from 0: 1 at 10, 2 at 20 through 1, 3 at 12.
  TreeFigure star = bestStar(4, latency, everyone);
  EXPECT_EQ(std::pair(star.root, star.worst), std::pair(0, 50.0));
  TreeFigure bound = lowerBound(4, latency, everyone);
  EXPECT_EQ(std::pair(bound.root, bound.worst), std::pair(0, 20.0));
  // A member that cannot relay passes no path on and cannot be a root:
  // from 0 the way to 2 is then 50 direct; from 3, 1 is 22 away through
  // 0 and 2 is 45 direct.
  bound = lowerBound(4, latency, notOne);
  EXPECT_EQ(std::pair(bound.root, bound.worst), std::pair(3, 45.0));
  EXPECT_EQ(bestStar(4, latency, notOne).root, 0);
  // The tree 0 -> 1 -> 2, 0 -> 3.
  EXPECT_EQ(treeWorst({0, 0, 1, 0}, latency), 20);
}

TEST(RoomChecksTest, CleanRunPassesAndEveryFaultFailsExceptWhatTheModeAllows) {
  using Mutation = std::function<void(Runs&)>;
  auto eraseOrdered = [](int slot, size_t k) -> Mutation {
    return [=](Runs& runs) {
      auto& got = runs[size_t(slot)].received;
      got.erase(got.begin() + long(orderedAt(runs[size_t(slot)], k)));
    };
  };
  auto swapOrdered = [](int slot, size_t a, size_t b) -> Mutation {
    return [=](Runs& runs) {
      auto& got = runs[size_t(slot)].received;
      std::swap(got[orderedAt(runs[size_t(slot)], a)], got[orderedAt(runs[size_t(slot)], b)]);
    };
  };
  struct Case {
    const char* name;
    Mutation mutate;
    std::vector<int> passesIn;  // modes (of 0, 3 and 5) that allow it
    const char* failure;        // part of the failing check's text
  };
  const Case cases[] = {
      {"nothing wrong", [](Runs&) {}, {0, 3, 5}, ""},
      {"a leaf misses an ordered broadcast", eraseOrdered(3, 4), {5}, "1 lost"},
      {"an inner node misses an ordered broadcast", eraseOrdered(1, 4), {}, "1 lost"},
      {"a leaf gets no ordered broadcast at all",
       [](Runs& runs) { std::erase_if(runs[3].received, [](const Delivery& d) { return d.kind == KindOrdered; }); },
       {}, "slots 3"},
      {"a leaf gets an ordered broadcast twice",
       [](Runs& runs) { runs[4].received.insert(runs[4].received.begin() + long(orderedAt(runs[4], 2)),
                                                runs[4].received[orderedAt(runs[4], 1)]); },
       {}, "1 duplicated"},
      {"a leaf swaps broadcasts of two originators", swapOrdered(3, 2, 3), {0}, "parent slot 1"},
      {"a whole group swaps an originator's broadcasts",
       [&](Runs& runs) { for (int slot : {1, 3, 4}) swapOrdered(slot, 0, 1)(runs); }, {}, "behind a later one"},
      {"a direct packet is lost", [](Runs& runs) { runs[2].received.erase(runs[2].received.begin()); }, {},
       "direct packets: 1 lost"},
      {"an immediate broadcast arrives twice", [](Runs& runs) { runs[0].received.push_back(runs[0].received[1]); },
       {}, "immediate broadcasts: 0 lost, 1 duplicated"},
      {"a broadcast that was never sent",
       [](Runs& runs) { runs[2].received.push_back(message(KindImmediate, 1, 99)); }, {}, "never sent"},
      {"a packet named with a wrong originator", [](Runs& runs) { runs[2].received[0].peerId = FirstId + 4; }, {},
       "originator"},
      {"a garbled payload", [](Runs& runs) { runs[2].received.push_back(Delivery{}); }, {}, "garbled"},
      {"a disconnection", [](Runs& runs) { runs[3].jobs[3] = 1; }, {}, "disconnection"},
      {"a refused send", [](Runs& runs) { runs[3].sendFailures = 1; }, {}, "refused"},
  };
  for (const Case& c : cases) {
    for (int mode : {0, 3, 5}) {
      Runs runs = cleanRun();
      c.mutate(runs);
      RoomVerdict verdict = checkRoom(mode, runs);
      const bool passes = std::find(c.passesIn.begin(), c.passesIn.end(), mode) != c.passesIn.end();
      EXPECT_EQ(verdict.passed, passes) << c.name << " in mode " << mode << ":\n" << failures(verdict);
      EXPECT_TRUE(passes || failures(verdict).find(c.failure) != std::string::npos) << c.name << " in mode " << mode;
    }
  }

  // The clean run's figures: who is inner, what every peer got, the groups.
  RoomVerdict verdict = checkRoom(3, cleanRun());
  EXPECT_TRUE(verdict.peers[0].inner && verdict.peers[1].inner && !verdict.peers[3].inner);
  EXPECT_EQ(verdict.peers[4].got[KindOrdered], 5 * PerOrigin);
  EXPECT_EQ(verdict.peers[4].got[KindDirect], 4 * PerOrigin);
  EXPECT_TRUE(mentions(verdict, Check::Pass, "slot 0 with 2; slot 1 with 3 4"));
  EXPECT_TRUE(mentions(verdict, Check::Info, "inner nodes 0 and 1 ordered concurrent broadcasts differently"));

  // A sequenced leaf's skip is counted and reported, not failed.
  Runs runs = cleanRun();
  eraseOrdered(3, 4)(runs);
  eraseOrdered(3, 0)(runs);
  verdict = checkRoom(5, runs);
  EXPECT_EQ(verdict.peers[3].skipped, 2u);
  EXPECT_TRUE(mentions(verdict, Check::Info, "leaves skipped 2"));

  // The clean run's two groups order concurrent broadcasts differently:
  // allowed in mode 3, a failure in mode 7, which promises one order at
  // every member; with slot 0's order everywhere it passes.
  runs = cleanRun();
  verdict = checkRoom(7, runs);
  EXPECT_NE(failures(verdict).find("slots 1 3 4 differs from slot 0's"), std::string::npos) << failures(verdict);
  const long tail = long(runs.size() * PerOrigin);
  for (auto& run : runs) std::copy(runs[0].received.end() - tail, runs[0].received.end(), run.received.end() - tail);
  verdict = checkRoom(7, runs);
  EXPECT_TRUE(verdict.passed) << failures(verdict);
  EXPECT_TRUE(mentions(verdict, Check::Pass, "one order of ordered broadcasts at every member"));
}

TEST(RoomChecksTest, PercentilesTakeTheNearestRank) {
  std::vector<int64_t> twoHundred;
  for (int64_t v = 200; v >= 1; --v) twoHundred.push_back(v);
  for (const auto& [values, p50, p99, max] :
       {std::tuple{std::vector<int64_t>{3, 1, 2}, 2, 3, 3}, {twoHundred, 100, 198, 200}}) {
    Percentiles p = Percentiles::of(values);
    EXPECT_EQ(p.count, values.size());
    EXPECT_EQ(p.p50, p50);
    EXPECT_EQ(p.p99, p99);
    EXPECT_EQ(p.max, max);
  }
  EXPECT_EQ(Percentiles::of({}).count, 0u);
}

}  // namespace
