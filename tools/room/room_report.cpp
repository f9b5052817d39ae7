#include "tools/room/room_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/room/room_wire.h"

namespace tessel_room {

namespace {

const char* modeName(int mode) {
  switch (mode) {
    case 3:
      return "3, ordered";
    case 5:
      return "5, ordered and sequenced";
    case 7:
      return "7, one order everywhere";
    default:
      return "0, immediate";
  }
}

std::string format(const char* pattern, auto... values) {
  char line[512];
  std::snprintf(line, sizeof(line), pattern, values...);
  return line;
}

// p50/p99/max, or the one value when all three are the same.
std::string triple(const Percentiles& p) {
  if (p.count == 0) return "     -";
  if (p.p50 == p.max) return format("%14lld", static_cast<long long>(p.max));
  return format("%4lld/%4lld/%4lld", static_cast<long long>(p.p50), static_cast<long long>(p.p99),
                static_cast<long long>(p.max));
}

std::string role(const zintar::TopologyPlan& plan, int slot) {
  if (slot == plan.root) return "root";
  return plan.children(slot).empty() ? "leaf" : "inner";
}

// A place's name cut to width characters.
std::string placeName(const RoomOptions& options, int slot, size_t width = 10) {
  if (options.matrix.empty()) return "here";
  return options.matrix.places[size_t(options.placeOfSlot[size_t(slot)])].substr(0, width);
}

std::string slotAndPlace(const RoomOptions& options, int slot) {
  return slot < 0 ? std::string("-") : std::to_string(slot) + " " + placeName(options, slot, 40);
}

}  // namespace

bool pingMatches(int32_t measured, double matrix) {
  if (measured < 0) return false;
  return std::fabs(double(measured) - matrix) <= std::max(PingTolerance * matrix, PingSlackMs);
}

DistanceFigures measureDistances(const RoomOptions& options, const zintar::TopologyPlanner& planner) {
  DistanceFigures figures;
  const int n = options.peers;
  auto listens = [&](int slot) { return slot < options.peers - options.closedPeers; };
  // Without a matrix every peer shares one place: no distance at all.
  auto matrixPing = [&](int a, int b) {
    return options.matrix.empty()
               ? 0.0
               : options.matrix.expectedPing(options.placeOfSlot[size_t(a)], options.placeOfSlot[size_t(b)]);
  };
  double furthestExcess = -1;
  for (int from = 0; from < n; ++from) {
    const zintar::PingList* list = planner.getPingList(from);
    for (int to = 0; to < n; ++to) {
      if (to == from || !listens(to)) continue;
      DistanceFigures::Ping ping;
      ping.from = from;
      ping.to = to;
      ping.matrix = matrixPing(from, to);
      if (list != nullptr)
        for (const auto& entry : list->peers)
          if (entry.slot == to) ping.measured = entry.ping;
      const bool matches = pingMatches(ping.measured, ping.matrix);
      figures.pingsOff += matches ? 0 : 1;
      // How far beyond its allowance a ping strays; unknown ones most.
      const double allowance = std::max(PingTolerance * ping.matrix, PingSlackMs);
      const double excess =
          ping.measured < 0 ? 1e9 : std::fabs(double(ping.measured) - ping.matrix) / allowance;
      if (excess > furthestExcess) {
        furthestExcess = excess;
        figures.furthest = static_cast<int>(figures.pings.size());
      }
      figures.pings.push_back(ping);
    }
  }
  auto measured = [&](int a, int b) { return double(planner.getLatency(a, b)); };
  const auto& plan = planner.getPlan();
  std::vector<int> parent(plan.parent, plan.parent + n);
  figures.tree = {plan.root, double(plan.worst)};
  figures.star = bestStar(n, measured, listens);
  figures.bound = lowerBound(n, measured, listens);
  figures.treeMatrix = {plan.root, treeWorst(parent, matrixPing)};
  figures.starMatrix = bestStar(n, matrixPing, listens);
  figures.boundMatrix = lowerBound(n, matrixPing, listens);
  return figures;
}

std::string describeRoom(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                         int galaxyPort) {
  std::string text = format("tessel-room: %d peers on 127.0.0.1, delivery mode %s\n", options.peers,
                            modeName(options.mode));
  if (options.closedPeers > 0) {
    std::string closed;
    for (int slot = options.peers - options.closedPeers; slot < options.peers; ++slot)
      closed += " " + std::to_string(slot);
    text += "Slots" + closed + " do not accept connections (they can only be leaves).\n";
  }
  if (galaxyPort > 0) {
    text += format("Galaxy ping to tessel-galaxyd on 127.0.0.1:%d, ms per slot:", galaxyPort);
    for (int slot = 0; slot < options.peers; ++slot) {
      const auto* list = planner.getPingList(slot);
      int32_t ping = list != nullptr && !list->galaxies.empty() ? list->galaxies[0].ping : -1;
      text += ping >= 0 ? format(" %d", int(ping)) : std::string(" -");
    }
    text += "\n";
  }
  text += "\nPings measured by pingToPeer (ms, the smaller of the two directions, - unknown):\n";
  text += planner.latencyTable();
  text += "\nTree chosen by the topology planner (latencies are half round trips, ms):\n";
  text += planner.summary();
  return text;
}

std::string describeRun(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                        const std::vector<PeerRun>& runs, const std::vector<uint32_t>& connectMs,
                        const RoomVerdict& verdict, const DistanceFigures* distances) {
  const auto& plan = planner.getPlan();
  uint32_t slowest = 0;
  for (uint32_t ms : connectMs) slowest = std::max(slowest, ms);
  // The totals sent are in the checks.
  std::string text;
  text += format("\nConnected: the root first, then the others at once; the slowest took %u ms.\n",
                 unsigned(slowest));
  text += format("Traffic: %.1f s; every peer sent per second %d direct packets, %d immediate and %d ordered "
                 "broadcasts of %d bytes\n",
                 options.durationMs / 1000.0, options.directRate, options.immediateRate, options.orderedRate,
                 options.payloadSize);
  if (options.keyed) text += "Every peer holds the room key of this run: connections are authenticated, packets sealed.\n";

  text += "\nJobs received per peer (popJob; messages by kind, then the other job types):\n";
  text += " slot  role   direct  immediate  ordered  skipped  lost  dup  ping answers  disconnects  errors\n";
  for (size_t slot = 0; slot < runs.size(); ++slot) {
    const PeerFigures& figures = verdict.peers[slot];
    uint32_t lost = figures.lost[1] + figures.lost[2] + figures.lost[3];
    uint32_t duplicated = figures.duplicated[1] + figures.duplicated[2] + figures.duplicated[3];
    text += format("%5zu  %-5s %7u  %9u  %7u  %7u  %4u  %3u  %12u  %11u  %6u\n", slot,
                   role(plan, int(slot)).c_str(), figures.got[KindDirect], figures.got[KindImmediate],
                   figures.got[KindOrdered], figures.skipped, lost, duplicated, runs[slot].jobs[2], runs[slot].jobs[3],
                   runs[slot].jobs[4]);
  }

  text += "\nDelay per peer, p50/p99/max (one value when all three are the same). \"frames\": the delay the\n"
          "library stamps on a broadcast, in 10 ms frames of the root's clock, at least 5 (a leaf adds half its\n"
          "parent link's round trip to ordered ones). \"ms\": wall-clock time from the send to popJob, read from\n"
          "the machine's clock that all peers share.\n";
  text += " slot  role   immediate frames  immediate ms    ordered frames    ordered ms     direct ms\n";
  for (size_t slot = 0; slot < runs.size(); ++slot) {
    const PeerFigures& figures = verdict.peers[slot];
    text += format("%5zu  %-5s %16s  %14s  %16s  %12s  %12s\n", slot, role(plan, int(slot)).c_str(),
                   triple(figures.immediateFigure).c_str(), triple(figures.immediateWall).c_str(),
                   triple(figures.orderedFigure).c_str(), triple(figures.orderedWall).c_str(),
                   triple(figures.directWall).c_str());
  }

  if (distances != nullptr) text += describeMemberLatencies(options, planner, *distances, verdict);

  text += "\nChecks:\n";
  int failed = 0;
  for (const Check& check : verdict.checks) {
    const char* mark = check.level == Check::Pass ? "ok  " : (check.level == Check::Fail ? "FAIL" : "note");
    if (check.level == Check::Fail) ++failed;
    text += format("  %s  ", mark) + check.text + "\n";
  }
  text += failed == 0 ? "Result: every check held.\n" : format("Result: %d checks failed.\n", failed);
  return text;
}

std::string describeDistances(const RoomOptions& options, const DistanceFigures& figures) {
  const int n = options.peers;
  std::string text = "\nDistances: every peer runs with the latency shim, which holds each datagram to another peer back\n"
                     "by half the round trip from its sender's place to its receiver's";
  if (options.loss > 0) text += format(", drops it with probability %g", options.loss);
  if (options.jitterMs > 0) text += format(", and adds a random 0 to %d ms", options.jitterMs);
  text += ".\n";
  if (options.matrix.empty()) {
    text += "No --latency matrix: every peer is in the same place.\n";
  } else {
    text += "Places:";
    for (int slot = 0; slot < n; ++slot) text += (slot % 6 == 0 ? "\n  " : ", ") + slotAndPlace(options, slot);
    text += "\n\nPings, measured/matrix (ms, half round trips; the matrix's figure is half the mean of the two\n"
            "directions' round trips, as the shim makes it; * strays more than 15% and 3 ms):\n";
    text += " slot  place     ";
    for (int to = 0; to < n; ++to) text += format("%9d", to);
    text += "\n";
    for (int from = 0; from < n; ++from) {
      text += format("%5d  %-10s", from, placeName(options, from).c_str());
      for (int to = 0; to < n; ++to) {
        std::string cell = "-";
        for (const auto& ping : figures.pings) {
          if (ping.from != from || ping.to != to) continue;
          cell = (ping.measured < 0 ? std::string("?") : std::to_string(ping.measured)) + "/" +
                 format("%.0f", ping.matrix) + (pingMatches(ping.measured, ping.matrix) ? " " : "*");
        }
        text += format("%9s", cell.c_str());
      }
      text += "\n";
    }
  }
  text += format("\nThe tree's worst root-to-member latency beside two yardsticks, fan-out ignored by both (ms;\n"
                 "\"measured\" in the planner's latencies, \"matrix\" in the matrix's figures, each with its best root):\n");
  text += "                                        measured  root          matrix  root\n";
  auto row = [&](const char* name, const TreeFigure& measured, const TreeFigure& matrix) {
    text += format("  %-36s  %8.0f  %-12s  %6.1f  %s\n", name, measured.worst,
                   slotAndPlace(options, measured.root).c_str(), matrix.worst,
                   slotAndPlace(options, matrix.root).c_str());
  };
  const std::string tree = format("the planner's tree (fan-out %d)", options.fanOut);
  row(tree.c_str(), figures.tree, figures.treeMatrix);
  row("best star (one root, every link)", figures.star, figures.starMatrix);
  row("lower bound (shortest paths)", figures.bound, figures.boundMatrix);
  return text;
}

std::string describeMemberLatencies(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                                    const DistanceFigures& figures, const RoomVerdict& verdict) {
  const auto& plan = planner.getPlan();
  std::string text =
      "\nLatency per member (ms): its place; its path from the root in the tree, as the planner estimates it from\n"
      "the measured pings; the worst of its pings against the matrix (measured/matrix); and p50 of the wall-clock\n"
      "delivery latency of what it received: direct packets, immediate and ordered broadcasts.\n";
  text += " slot  place       role   path  worst ping  direct  immediate  ordered\n";
  auto p50 = [](const Percentiles& p) { return p.count == 0 ? std::string("-") : std::to_string(p.p50); };
  for (int slot = 0; slot < options.peers; ++slot) {
    std::string worst = "-";
    double worstExcess = -1;
    for (const auto& ping : figures.pings) {
      if (ping.from != slot) continue;
      const double excess = ping.measured < 0 ? 1e9 : std::fabs(double(ping.measured) - ping.matrix);
      if (excess <= worstExcess) continue;
      worstExcess = excess;
      worst = (ping.measured < 0 ? std::string("?") : std::to_string(ping.measured)) + "/" +
              format("%.0f", ping.matrix);
    }
    const PeerFigures& peer = verdict.peers[size_t(slot)];
    text += format("%5d  %-10s  %-5s %5d  %10s  %6s  %9s  %7s\n", slot, placeName(options, slot).c_str(),
                   role(plan, slot).c_str(), int(plan.latency[slot]), worst.c_str(), p50(peer.directWall).c_str(),
                   p50(peer.immediateWall).c_str(), p50(peer.orderedWall).c_str());
  }
  return text;
}

std::vector<Check> distanceChecks(const RoomOptions& options, const DistanceFigures& figures) {
  std::vector<Check> checks;
  const size_t pairs = figures.pings.size();
  if (!options.matrix.empty() && figures.furthest >= 0) {
    const auto& far = figures.pings[size_t(figures.furthest)];
    const std::string furthest = format("slot %d to %d measured %s, matrix %.1f", far.from, far.to,
                                        far.measured < 0 ? "nothing" : std::to_string(far.measured).c_str(),
                                        far.matrix);
    if (figures.pingsOff == 0)
      checks.push_back({Check::Pass, format("pings: all %zu match the matrix within 15%% or 3 ms (furthest off: ", pairs) +
                                         furthest + ")"});
    else
      checks.push_back({Check::Info, format("pings: %d of %zu stray more than 15%% and 3 ms from the matrix "
                                            "(%s adds delay; furthest off: ",
                                            figures.pingsOff, pairs,
                                            options.jitterMs > 0 ? "jitter and a busy machine" : "a busy machine") +
                                         furthest + ")"});
  }
  const bool beatsStar = figures.tree.worst <= figures.star.worst;
  const bool nearBound = figures.tree.worst <= 1.1 * figures.bound.worst;
  std::string verdict;
  if (beatsStar && nearBound) {
    verdict = "no worse than the star and within 1.1 times the bound";
  } else {
    if (!beatsStar) verdict = format("%.0f ms worse than the star", figures.tree.worst - figures.star.worst);
    if (!nearBound) verdict += std::string(verdict.empty() ? "" : " and ") + "beyond 1.1 times the bound";
    verdict += format(" (both ignore the fan-out of %d)", options.fanOut);
  }
  checks.push_back({beatsStar && nearBound ? Check::Pass : Check::Info,
                    format("the planner's tree: worst root-to-member latency %.0f ms; best star %.0f ms, lower bound "
                           "%.0f ms; ",
                           figures.tree.worst, figures.star.worst, figures.bound.worst) +
                        verdict});
  return checks;
}

}  // namespace tessel_room
