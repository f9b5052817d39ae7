// The coordinator of tessel-room: it plays the world's server for a room
// of peer processes on this machine. It starts the peers (and a galaxy ping
// responder when one is at hand), gives each the roster, collects their
// ping lists, plans the tree with the topology planner, hands every peer
// the description, connects them root first, lets them send traffic for a
// while, collects what each received and prints the verdict. With
// distances (a round-trip matrix, loss or jitter) every peer runs with the
// latency shim of tools/netshim preloaded, placed as the options say.
//
// Every step waits with a time limit; a peer that dies or gives up ends
// the run with a message naming it, and every process started is reaped.
// Runs on the main thread of the tessel-room process.

#ifndef TESSEL_TOOLS_ROOM_ROOM_COORDINATOR_H_
#define TESSEL_TOOLS_ROOM_ROOM_COORDINATOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/room/room_latency.h"

namespace tessel_room {

struct RoomOptions {
  int peers = 8;
  int mode = 3;
  int durationMs = 5000;
  // Messages per second that every peer sends of each kind.
  int directRate = 20;
  int immediateRate = 20;
  int orderedRate = 20;
  int payloadSize = 32;
  int fanOut = 4;
  // The last this many slots do not accept connections.
  int closedPeers = 0;
  int peekEveryMs = 10;
  int pingThresholdMs = 100;
  int drainMs = 5000;
  int connectTimeoutMs = 10000;
  // Frame store packets; 0 chooses from the traffic.
  int capacity = 0;
  std::string dotFile;
  std::string saveDir;
  // The galaxy ping responder; empty: look beside this program.
  std::string galaxyd;
  bool galaxy = true;
  bool quiet = false;
  // Every peer holds one room key, made for the run: every connection
  // runs the key's handshake and every packet is sealed.
  bool keyed = false;
  // Distances: the round trips between places (empty: every peer in one
  // place), each slot's place, random loss on every datagram and jitter.
  // When any is set, every peer runs with the latency shim preloaded.
  LatencyMatrix matrix;
  std::vector<int> placeOfSlot;
  double loss = 0;
  int jitterMs = 0;
  // The latency shim; empty: look beside this program.
  std::string netshim;
  // A file for the run's figures, one a line (see runRoom).
  std::string summaryFile;

  bool shaped() const { return !matrix.empty() || loss > 0 || jitterMs > 0; }
};

// Runs the room; self is this program's path, started again with --peer
// for every peer. 0 when every check held, 1 otherwise (the reason has
// been printed).
//
// The summary file, written after a run that got as far as its checks,
// holds one figure a line, fields separated by spaces, ms as decimals:
//   ping A B MEASURED MATRIX   slot A's measured ping to slot B and, with
//                              a matrix, the figure it predicts (else -1)
//   tree ROOT WORST            the planner's tree: worst root-to-member
//   star ROOT WORST            the best star, fan-out ignored
//   bound ROOT WORST           the lower bound: shortest paths, fan-out
//                              ignored
//   passed 1|0                 whether every check held
// The tree, star and bound lines use the planner's latencies (measured).
int runRoom(const RoomOptions& options, const std::string& self);

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_COORDINATOR_H_
