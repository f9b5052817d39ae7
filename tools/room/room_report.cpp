#include "tools/room/room_report.h"

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

}  // namespace

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
                        const RoomVerdict& verdict) {
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

}  // namespace tessel_room
