// One peer of a tessel-room run: a process of its own with one engine,
// driven by the coordinator over a pipe pair. It does what a host
// application does (init, the peer table, pings, the ping list, the
// topology, connect, traffic, popJob) step by step as the coordinator's
// messages ask, answers each step, and at the end sends back everything it
// received.
//
// Runs on the process's main thread; the engine starts its own service
// thread.

#ifndef TESSEL_TOOLS_ROOM_ROOM_PEER_H_
#define TESSEL_TOOLS_ROOM_ROOM_PEER_H_

namespace tessel_room {

// The file descriptors on which a peer process reads the coordinator's
// messages and writes its own.
constexpr int PeerReadFd = 3;
constexpr int PeerWriteFd = 4;

// Serves the coordinator on the two descriptors until it says quit (0) or
// goes away or a step fails beyond repair (1).
int runPeer(int readFd, int writeFd);

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_PEER_H_
