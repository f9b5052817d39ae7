// The text that tessel-room prints: the measured pings, the tree, the
// traffic, per peer tables of jobs and delays, and the checks.
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

// The room before traffic: options, pings and the tree.
std::string describeRoom(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                         int galaxyPort);

// The traffic and its verdict. connectMs[s]: how long slot s took to
// connect.
std::string describeRun(const RoomOptions& options, const zintar::TopologyPlanner& planner,
                        const std::vector<PeerRun>& runs, const std::vector<uint32_t>& connectMs,
                        const RoomVerdict& verdict);

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_REPORT_H_
