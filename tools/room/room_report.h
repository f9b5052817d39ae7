// The text that tessel-room prints: the measured pings, the tree, the
// traffic, per peer tables of jobs and delays, and the checks; with
// distances also the places, the pings beside the matrix's figures, and
// the tree beside its two yardsticks.
//
// Pure formatting; any thread.

#ifndef TESSEL_TOOLS_ROOM_ROOM_REPORT_H_
#define TESSEL_TOOLS_ROOM_ROOM_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tessel/planner/topology_planner.h"
#include "tools/room/room_checks.h"
#include "tools/room/room_coordinator.h"

namespace tessel_room {

// How far a measured ping may stray from the matrix's figure: the larger
// of a share of the figure and a few milliseconds.
constexpr double PingTolerance = 0.15;
constexpr double PingSlackMs = 3;

// The figures of a run with distances.
struct DistanceFigures {
  struct Ping {
    int from = 0;
    int to = 0;
    int32_t measured = -1;  // what from measured toward to; -1 unknown
    double matrix = -1;     // the matrix's figure; -1 without a matrix
  };
  std::vector<Ping> pings;
  // Pairs whose measured ping is unknown or strays beyond the tolerance.
  int pingsOff = 0;
  // The furthest off pair, an index into pings; -1 when there is none.
  int furthest = -1;
  // The planner's tree and the yardsticks, in the planner's latencies
  // (the measured ones) and in the matrix's figures.
  TreeFigure tree, star, bound;
  TreeFigure treeMatrix, starMatrix, boundMatrix;
};

DistanceFigures measureDistances(const RoomOptions& options, const zintar::TopologyPlanner& planner);

// Whether a measured ping matches the matrix's figure within the tolerance.
bool pingMatches(int32_t measured, double matrix);

// The room before traffic: options, pings and the tree.
std::string describeRoom(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                         int galaxyPort);

// The traffic and its verdict. connectMs[s]: how long slot s took to
// connect. With distances, the latency per member comes before the checks.
std::string describeRun(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                        const std::vector<PeerRun>& runs, const std::vector<uint32_t>& connectMs,
                        const RoomVerdict& verdict, const DistanceFigures* distances = nullptr);

// With distances: the places, each ping beside the matrix's figure, and
// the tree's worst latency beside the best star and the lower bound.
std::string describeDistances(const RoomOptions& options, const DistanceFigures& figures);

// With distances: per member its place, its path in the tree and the
// delivery latencies of each kind of traffic.
std::string describeMemberLatencies(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                                    const DistanceFigures& figures, const RoomVerdict& verdict);

// The verdicts on the distances, for the report's checks: the pings
// against the matrix, the tree against its yardsticks. Neither fails the
// run (a loaded machine adds delay); both say how far off things are.
std::vector<Check> distanceChecks(const RoomOptions& options, const DistanceFigures& figures);

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_REPORT_H_
