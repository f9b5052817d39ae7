// tessel-room's verdict on made-up runs: a clean run passes, and every kind
// of fault the library could commit (a loss, a duplicate, a stray, a wrong
// originator, an order that strays from the parent's log or breaks an
// originator's order) fails it, except what a delivery mode allows.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tools/room/room_checks.h"
#include "tools/room/room_wire.h"

using tessel_room::Check;
using tessel_room::Delivery;
using tessel_room::KindDirect;
using tessel_room::KindImmediate;
using tessel_room::KindOrdered;
using tessel_room::PeerRun;
using tessel_room::RoomVerdict;
using Runs = std::vector<PeerRun>;

namespace {

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
      RoomVerdict verdict = tessel_room::checkRoom(mode, runs);
      const bool passes = std::find(c.passesIn.begin(), c.passesIn.end(), mode) != c.passesIn.end();
      EXPECT_EQ(verdict.passed, passes) << c.name << " in mode " << mode << ":\n" << failures(verdict);
      EXPECT_TRUE(passes || failures(verdict).find(c.failure) != std::string::npos) << c.name << " in mode " << mode;
    }
  }

  // The clean run's figures: who is inner, what every peer got, the groups.
  RoomVerdict verdict = tessel_room::checkRoom(3, cleanRun());
  EXPECT_TRUE(verdict.peers[0].inner && verdict.peers[1].inner && !verdict.peers[3].inner);
  EXPECT_EQ(verdict.peers[4].got[KindOrdered], 5 * PerOrigin);
  EXPECT_EQ(verdict.peers[4].got[KindDirect], 4 * PerOrigin);
  EXPECT_TRUE(mentions(verdict, Check::Pass, "slot 0 with 2; slot 1 with 3 4"));
  EXPECT_TRUE(mentions(verdict, Check::Info, "inner nodes 0 and 1 ordered concurrent broadcasts differently"));

  // A sequenced leaf's skip is counted and reported, not failed.
  Runs runs = cleanRun();
  eraseOrdered(3, 4)(runs);
  eraseOrdered(3, 0)(runs);
  verdict = tessel_room::checkRoom(5, runs);
  EXPECT_EQ(verdict.peers[3].skipped, 2u);
  EXPECT_TRUE(mentions(verdict, Check::Info, "leaves skipped 2"));

  // The clean run's two groups order concurrent broadcasts differently:
  // allowed in mode 3, a failure in mode 7, which promises one order at
  // every member; with slot 0's order everywhere it passes.
  runs = cleanRun();
  verdict = tessel_room::checkRoom(7, runs);
  EXPECT_NE(failures(verdict).find("slots 1 3 4 differs from slot 0's"), std::string::npos) << failures(verdict);
  const long tail = long(runs.size() * PerOrigin);
  for (auto& run : runs) std::copy(runs[0].received.end() - tail, runs[0].received.end(), run.received.end() - tail);
  verdict = tessel_room::checkRoom(7, runs);
  EXPECT_TRUE(verdict.passed) << failures(verdict);
  EXPECT_TRUE(mentions(verdict, Check::Pass, "one order of ordered broadcasts at every member"));
}

TEST(RoomChecksTest, PercentilesTakeTheNearestRank) {
  std::vector<int64_t> twoHundred;
  for (int64_t v = 200; v >= 1; --v) twoHundred.push_back(v);
  for (const auto& [values, p50, p99, max] :
       {std::tuple{std::vector<int64_t>{3, 1, 2}, 2, 3, 3}, {twoHundred, 100, 198, 200}}) {
    tessel_room::Percentiles p = tessel_room::Percentiles::of(values);
    EXPECT_EQ(p.count, values.size());
    EXPECT_EQ(p.p50, p50);
    EXPECT_EQ(p.p99, p99);
    EXPECT_EQ(p.max, max);
  }
  EXPECT_EQ(tessel_room::Percentiles::of({}).count, 0u);
}

}  // namespace
