#include "tools/room/room_checks.h"

#include <algorithm>
#include <map>
#include <utility>

#include "tools/room/room_wire.h"

namespace tessel_room {

namespace {

using Key = std::pair<int, uint32_t>;  // originator slot, sequence

std::string slotList(const std::vector<int>& slots) {
  std::string text;
  for (int slot : slots) text += (text.empty() ? "" : " ") + std::to_string(slot);
  return text;
}

// Whether part is what remains of whole after leaving some of it out.
bool isSubsequence(const std::vector<Key>& part, const std::vector<Key>& whole) {
  size_t next = 0;
  for (const Key& key : whole)
    if (next < part.size() && part[next] == key) ++next;
  return next == part.size();
}

// First position at which two orders differ, or -1.
long firstDifference(const std::vector<Key>& a, const std::vector<Key>& b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i)
    if (a[i] != b[i]) return long(i);
  return a.size() == b.size() ? -1 : long(common);
}

const char* kindName(int kind) {
  switch (kind) {
    case KindDirect:
      return "direct packets";
    case KindImmediate:
      return "immediate broadcasts";
    default:
      return "ordered broadcasts";
  }
}

}  // namespace

Percentiles Percentiles::of(std::vector<int64_t> values) {
  Percentiles result;
  result.count = values.size();
  if (values.empty()) return result;
  std::sort(values.begin(), values.end());
  auto rank = [&](size_t percent) {
    size_t index = (values.size() * percent + 99) / 100;
    return values[index == 0 ? 0 : index - 1];
  };
  result.p50 = rank(50);
  result.p99 = rank(99);
  result.max = values.back();
  return result;
}

RoomVerdict checkRoom(int mode, const std::vector<PeerRun>& peers) {
  RoomVerdict verdict;
  const int n = static_cast<int>(peers.size());
  const bool ordered = mode == 3 || mode == 5 || mode == 7;
  const bool sequenced = mode == 5;
  const bool oneOrder = mode == 7;
  verdict.peers.resize(size_t(n));
  auto isInner = [&](int slot) {
    for (int child = 0; child < n; ++child)
      if (child != slot && peers[size_t(child)].parent == slot) return true;
    return false;
  };
  auto sent = [&](int kind, int origin, int receiver) -> uint32_t {
    const PeerRun& from = peers[size_t(origin)];
    if (kind == KindDirect)
      return size_t(receiver) < from.directTo.size() && receiver != origin ? from.directTo[size_t(receiver)] : 0;
    return kind == KindImmediate ? from.immediateSent : from.orderedSent;
  };

  // Each member's order of ordered broadcasts, and per member counts.
  std::vector<std::vector<Key>> orders(static_cast<size_t>(n));
  uint32_t reorderedOther = 0;
  for (int r = 0; r < n; ++r) {
    PeerFigures& figures = verdict.peers[size_t(r)];
    figures.inner = isInner(r);
    const bool skipAllowed = sequenced && !figures.inner;
    std::map<std::pair<int, Key>, uint32_t> seen;  // (kind, key) -> times
    std::map<std::pair<int, int>, int64_t> lastSequence;
    std::vector<int64_t> immediateFigure, orderedFigure, immediateWall, orderedWall, directWall;
    for (const Delivery& d : peers[size_t(r)].received) {
      if (d.kind < KindDirect || d.kind > KindOrdered || d.origin >= n ||
          d.peerId != peers[size_t(d.origin)].peerId || d.sequence >= sent(d.kind, d.origin, r)) {
        ++figures.strays;
        continue;
      }
      ++figures.got[d.kind];
      ++seen[{d.kind, {d.origin, d.sequence}}];
      auto [last, fresh] = lastSequence.emplace(std::pair{int(d.kind), int(d.origin)}, int64_t(d.sequence));
      if (!fresh) {
        if (int64_t(d.sequence) < last->second) {
          if (d.kind == KindOrdered) {
            ++figures.outOfOrder;
          } else {
            ++reorderedOther;
          }
        }
        last->second = std::max(last->second, int64_t(d.sequence));
      }
      switch (d.kind) {
        case KindDirect:
          directWall.push_back(d.wallMs);
          break;
        case KindImmediate:
          immediateFigure.push_back(d.figure);
          immediateWall.push_back(d.wallMs);
          break;
        default:
          orderedFigure.push_back(d.figure);
          orderedWall.push_back(d.wallMs);
          orders[size_t(r)].push_back({d.origin, d.sequence});
          break;
      }
    }
    for (int kind = KindDirect; kind <= KindOrdered; ++kind) {
      for (int origin = 0; origin < n; ++origin) {
        const uint32_t count = sent(kind, origin, r);
        for (uint32_t sequence = 0; sequence < count; ++sequence) {
          auto it = seen.find({kind, {origin, sequence}});
          uint32_t times = it == seen.end() ? 0 : it->second;
          if (times == 0) {
            if (kind == KindOrdered && skipAllowed) {
              ++figures.skipped;
            } else {
              ++figures.lost[kind];
            }
          } else if (times > 1) {
            figures.duplicated[kind] += times - 1;
          }
        }
      }
    }
    figures.immediateFigure = Percentiles::of(immediateFigure);
    figures.orderedFigure = Percentiles::of(orderedFigure);
    figures.immediateWall = Percentiles::of(immediateWall);
    figures.orderedWall = Percentiles::of(orderedWall);
    figures.directWall = Percentiles::of(directWall);
  }

  auto add = [&](Check::Level level, std::string text) {
    if (level == Check::Fail) verdict.passed = false;
    verdict.checks.push_back({level, std::move(text)});
  };

  // Exactly once, kind by kind.
  for (int kind = KindDirect; kind <= KindOrdered; ++kind) {
    uint64_t total = 0;
    for (int origin = 0; origin < n; ++origin) {
      if (kind == KindDirect) {
        for (int r = 0; r < n; ++r) total += sent(kind, origin, r);
      } else {
        total += sent(kind, origin, origin);
      }
    }
    std::string name = kindName(kind);
    if (total == 0) {
      add(Check::Info, name + ": none sent");
      continue;
    }
    uint64_t lost = 0, duplicated = 0, skipped = 0;
    std::vector<int> faulty;
    for (int r = 0; r < n; ++r) {
      const PeerFigures& figures = verdict.peers[size_t(r)];
      lost += figures.lost[kind];
      duplicated += figures.duplicated[kind];
      if (kind == KindOrdered) skipped += figures.skipped;
      if (figures.lost[kind] + figures.duplicated[kind] > 0) faulty.push_back(r);
    }
    std::string whom = kind == KindDirect ? "its destination" : "every member";
    if (kind == KindOrdered && sequenced) whom = "every inner node";
    if (lost + duplicated == 0) {
      add(Check::Pass, name + ": " + std::to_string(total) + " sent, each reached " + whom + " exactly once");
    } else {
      add(Check::Fail, name + ": " + std::to_string(lost) + " lost, " + std::to_string(duplicated) +
                           " duplicated of " + std::to_string(total) + " sent (at slots " + slotList(faulty) + ")");
    }
    if (kind == KindOrdered && sequenced) {
      add(Check::Info, "sequenced mode: leaves skipped " + std::to_string(skipped) +
                           " ordered broadcasts (a leaf hands over the first packet of each answer to its "
                           "pulls; allowed)");
      // Skipping is allowed; starving is not.
      std::vector<int> starved;
      for (int r = 0; r < n; ++r)
        if (verdict.peers[size_t(r)].got[KindOrdered] == 0) starved.push_back(r);
      if (!starved.empty())
        add(Check::Fail, "ordered broadcasts: none reached slots " + slotList(starved));
    }
  }

  uint64_t strays = 0;
  std::vector<int> strayAt;
  for (int r = 0; r < n; ++r) {
    strays += verdict.peers[size_t(r)].strays;
    if (verdict.peers[size_t(r)].strays > 0) strayAt.push_back(r);
  }
  if (strays == 0) {
    add(Check::Pass, "nothing arrived that was not sent, and every packet named its true originator");
  } else {
    add(Check::Fail, std::to_string(strays) + " packets arrived that were never sent, were garbled or named a "
                         "wrong originator (at slots " + slotList(strayAt) + ")");
  }

  // Order.
  uint64_t outOfOrder = 0;
  std::vector<int> outOfOrderAt;
  for (int r = 0; r < n; ++r) {
    outOfOrder += verdict.peers[size_t(r)].outOfOrder;
    if (verdict.peers[size_t(r)].outOfOrder > 0) outOfOrderAt.push_back(r);
  }
  if (outOfOrder == 0) {
    add(Check::Pass, "each originator's ordered broadcasts kept their order at every member");
  } else {
    add(Check::Fail, std::to_string(outOfOrder) + " ordered broadcasts arrived behind a later one of their "
                         "originator (at slots " + slotList(outOfOrderAt) + ")");
  }
  if (reorderedOther > 0)
    add(Check::Info, std::to_string(reorderedOther) +
                         " direct or immediate packets arrived behind a later one of their originator");

  if (oneOrder) {
    // Mode 7 promises one order at every member.
    std::vector<int> differ;
    long at = -1;
    for (int r = 1; r < n; ++r) {
      long first = firstDifference(orders[size_t(r)], orders[0]);
      if (first >= 0) {
        differ.push_back(r);
        if (at < 0) at = first;
      }
    }
    if (differ.empty()) {
      add(Check::Pass, "one order of ordered broadcasts at every member");
    } else {
      add(Check::Fail, "the order of ordered broadcasts at slots " + slotList(differ) + " differs from slot 0's (from "
                           "position " + std::to_string(at) + ")");
    }
  } else if (ordered) {
    std::vector<int> inner;
    for (int g = 0; g < n; ++g)
      if (verdict.peers[size_t(g)].inner) inner.push_back(g);
    bool groupsAgree = true;
    std::string groups;
    for (int g : inner) {
      std::vector<int> leaves;
      for (int child = 0; child < n; ++child)
        if (child != g && peers[size_t(child)].parent == g && !verdict.peers[size_t(child)].inner)
          leaves.push_back(child);
      groups += (groups.empty() ? "" : "; ") + std::string("slot ") + std::to_string(g) +
                (leaves.empty() ? "" : " with " + slotList(leaves));
      for (int leaf : leaves) {
        const auto& mine = orders[size_t(leaf)];
        const auto& theirs = orders[size_t(g)];
        if (sequenced) {
          if (!isSubsequence(mine, theirs)) {
            groupsAgree = false;
            add(Check::Fail, "slot " + std::to_string(leaf) + " delivered ordered broadcasts that are not a part "
                                 "of its parent slot " + std::to_string(g) + "'s order");
          }
        } else if (long at = firstDifference(mine, theirs); at >= 0) {
          groupsAgree = false;
          add(Check::Fail, "slot " + std::to_string(leaf) + "'s order of ordered broadcasts differs from its "
                               "parent slot " + std::to_string(g) + "'s from position " + std::to_string(at));
        }
      }
    }
    if (groupsAgree) {
      add(Check::Pass, std::string("one order of ordered broadcasts within each inner node's group") +
                           (sequenced ? " (a leaf's order a part of its parent's)" : "") + ": " + groups);
    }
    for (size_t i = 1; i < inner.size(); ++i) {
      if (orders[size_t(inner[0])] != orders[size_t(inner[i])]) {
        add(Check::Info, "inner nodes " + std::to_string(inner[0]) + " and " + std::to_string(inner[i]) +
                             " ordered concurrent broadcasts differently (allowed: each inner node keeps its own "
                             "log)");
        break;
      }
    }
  } else {
    add(Check::Info, "mode 0 has no ordered delivery: ordered broadcasts travelled as immediate ones");
  }

  // Refused sends, disconnections and errors.
  std::vector<int> refused;
  for (int r = 0; r < n; ++r)
    if (peers[size_t(r)].sendFailures > 0) refused.push_back(r);
  if (refused.empty()) {
    add(Check::Pass, "the library accepted every send");
  } else {
    add(Check::Fail, "the library refused sends at slots " + slotList(refused));
  }
  std::vector<int> troubled;
  for (int r = 0; r < n; ++r)
    if (peers[size_t(r)].jobs[3] + peers[size_t(r)].jobs[4] > 0) troubled.push_back(r);
  if (troubled.empty()) {
    add(Check::Pass, "no peer reported a disconnection or an error");
  } else {
    add(Check::Fail, "disconnections or errors reported at slots " + slotList(troubled));
  }
  return verdict;
}

}  // namespace tessel_room
