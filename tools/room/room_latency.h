// Distances for tessel-room: the matrix of round trips between places
// (--latency), where each slot sits, the latency shim's configuration
// file, and the two yardsticks the planner's tree is held against.
//
// The shim delays every datagram by half the round trip of its sender's
// row toward the receiver's place, so a ping between places a and b
// measures half of (rtt[a][b] + rtt[b][a]) / 2: expectedPing.
//
// Pure computation and file reading; any thread.

#ifndef TESSEL_TOOLS_ROOM_ROOM_LATENCY_H_
#define TESSEL_TOOLS_ROOM_ROOM_LATENCY_H_

#include <functional>
#include <string>
#include <vector>

namespace tessel_room {

struct LatencyMatrix {
  static constexpr int MaxPlaces = 250;

  std::vector<std::string> places;
  std::vector<std::vector<double>> rttMs;  // [from][to], milliseconds

  bool empty() const { return places.empty(); }
  int size() const { return static_cast<int>(places.size()); }
  // The place named name (case does not matter), or -1.
  int find(const std::string& name) const;
  // The largest round trip in the matrix.
  double largestRtt() const;
  // The ping figure (a half round trip) that the shim makes between
  // places a and b.
  double expectedPing(int a, int b) const { return (rttMs[size_t(a)][size_t(b)] + rttMs[size_t(b)][size_t(a)]) / 4; }

  // Reads CSV text: a header row "place,NAME,NAME,...", then one row per
  // place in the header's order, "NAME,MS,MS,...", round trips in
  // milliseconds from the row's place to the column's. False with the
  // reason in why (nothing is changed then).
  static bool parse(const std::string& text, LatencyMatrix& out, std::string& why);
  static bool load(const std::string& path, LatencyMatrix& out, std::string& why);
};

// The slot -> place list: names ("a,b,c") taken in turn, or every place in
// turn when names is empty. False with the reason in why for a name the
// matrix does not hold.
bool assignPlaces(const LatencyMatrix& matrix, const std::string& names, int peers, std::vector<int>& placeOfSlot,
                  std::string& why);

// The configuration file of the latency shim for the matrix (one place
// with no delay when it is empty), loss probability and jitter.
std::string shimConfiguration(const LatencyMatrix& matrix, double loss, int jitterMs, const std::string& portTable);

// A tree's worst root-to-member latency and its root; root -1 when none
// is possible.
struct TreeFigure {
  int root = -1;
  double worst = 0;
};

// latency(a, b): the link latency between two members, negative when
// unknown. canRoot(s): whether s may be a root or a relay (it accepts
// connections). Fan-out plays no part in either.
using LinkLatency = std::function<double(int, int)>;
using CanRelay = std::function<bool(int)>;

// The star with the smallest worst latency: every member linked straight
// to the root.
TreeFigure bestStar(int members, const LinkLatency& latency, const CanRelay& canRoot);
// No tree can do better: over the roots, the smallest largest shortest-path
// distance to a member, every path relayed by members that may relay.
TreeFigure lowerBound(int members, const LinkLatency& latency, const CanRelay& canRoot);
// A given tree's worst root-to-member latency (parent[s] the parent slot,
// the root's its own).
double treeWorst(const std::vector<int>& parent, const LinkLatency& latency);

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_LATENCY_H_
