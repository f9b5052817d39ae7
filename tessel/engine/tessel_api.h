// TesselApi is the facade a host application drives, and the one header it
// includes: it brings TesselJob (the events) and ErrorCode with errorText
// (the error codes and their messages) along.
//
// The facade owns one engine, created by the first init and deleted by the
// destructor (which stops the library's service thread and closes every
// link), and forwards every call to it. Before init has created the engine
// every call does nothing and returns -1, false or 0 (emptyJob true,
// getRootIp 0xFFFFFFFF).
//
// Threads: one host thread calls the facade; it is not meant to be called
// from several at once. The job calls, the galaxy and registry calls and
// getError are safe from any thread, as their comments say. Events come back
// as jobs from the library's service thread.
//
// Errors: results are 0 (or a count, a size, a ping) on success and -1 on
// failure. Only init, connect and pingToAllGalaxy set the last error that
// getError reads; startSession clears it; nothing else changes it. Nothing
// throws.
//
// A room, in order: startSession; setRoomId; setRoomKey when the room has
// a key; addPeer for every user, itself included; setPeerProperty and
// pingToPeer per peer; getPeerPingList, whose bytes go to the party that
// plans the tree;
// setTopology with the description that comes back; connect. Then
// sendPacket, castPacket, peekPacket and sendPing, and popJob until it
// returns false; endSession or the next startSession ends the room.

#ifndef TESSEL_ENGINE_TESSEL_API_H_
#define TESSEL_ENGINE_TESSEL_API_H_

#include <cstdint>

#include "tessel/engine/tessel.h"
#include "tessel/engine/tessel_error.h"
#include "tessel/engine/tessel_job.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT TesselApi {
 public:
  TesselApi();
  // Deletes the engine: stops the service thread, closes the overlay and
  // frees the queue. Queued jobs are lost.
  virtual ~TesselApi();

  TesselApi(const TesselApi&) = delete;
  TesselApi& operator=(const TesselApi&) = delete;

  // --- Lifecycle --------------------------------------------------------------

  // Creates the engine and starts the overlay with its service thread:
  // peerId is this user's id; with listen the overlay host accepts up to 32
  // links on UDP port, without it the host only connects out; mode 3
  // delivers ordered broadcasts in one order below each inner node (leaves
  // pull), 5 ordered and sequenced, 7 in one order at every member (the
  // root's, pushed down the tree), any other as they come; every member of
  // a room must run the same mode; jobPut starts with jobs discarded
  // (setJobPut); fakePing is stored (setFakePing). 0 on success. -1 with
  // error 0x10F03 when the local address cannot be found, or 0x10F01 when
  // the overlay or a table cannot be created; the engine then stays, so
  // getError tells why. -1 without an error when the engine itself cannot be
  // allocated. A second call returns 0 and does nothing, whatever the first
  // returned.
  int init(int32_t peerId, int port, bool listen, int mode, bool jobPut, bool fakePing);

  // The last error code (0 none); its message is errorText(getError()).
  // Any thread.
  uint32_t getError() const;

  // --- Session and room -------------------------------------------------------

  // Starts a room: empties the peer table, resets the overlay's links,
  // routes and clock, empties the job queue and clears the last error.
  void startSession();
  // Ends a room: resets the overlay (its links with their peer records,
  // routes, clock) and empties the job queue; unlike startSession it keeps
  // the measured pings, the parent table and the last error. 0.
  int endSession();
  // Sets this user's room: major 0..1023, minor 0..16383 (both taken as
  // unsigned 16-bit); the own slot is kept. 0, or -1 and nothing changed
  // when a part is out of range.
  int setRoomId(int16_t major, int16_t minor);
  // This machine's IPv4 address as a host-order number (the first public
  // one, else the last private one), and whether it is public.
  uint32_t getLocalIp() const;
  bool hasRealIp() const;

  // Puts peerId into slot (0..31). Adding this user's own id tells the
  // engine its own slot. While connected, the peer joins the running tree
  // below the root. 0, or -1 for a slot of 32 or more.
  int addPeer(int32_t peerId, unsigned char slot);
  // Gives a peer added before (by addPeer or a topology description) its
  // address (host-order ip, port) and flags; the record's other fields go
  // back to their defaults. 0, or -1 for an unknown id.
  int setPeerProperty(int32_t peerId, uint32_t ip, int port, bool hasRealIp, bool listen);
  // Takes a peer out of the room and closes its link. 0 (also when it was
  // removed before), -1 for an id never added.
  int removePeer(int32_t peerId);
  // Measures the latency to a peer over a short ENet connection of its own:
  // at most three probes, each waiting twice the ping threshold. Blocks
  // until done. The half round trip in ms, else -1; either is kept for the
  // peer ping list. -1 without traffic when the peer does not listen or the
  // threshold is -1, or for an unknown id.
  int pingToPeer(int32_t peerId);
  // Writes the peer ping list into buffer: own record, the occupied slots
  // with their pings, the galaxies with theirs. The byte count (58 + 5 per
  // peer + 8 per galaxy), or -1 when size is too small (what fitted is
  // written).
  int getPeerPingList(char* buffer, int size);
  // Applies a topology description: frame store size, clock
  // synchronisation, peer records, each slot's parent and ping figure. 0, or
  // -1 when buffer is short or the frame store cannot be sized (what was
  // read before stays applied). Entries naming a slot of 32 or more are
  // ignored. While connected, the running tree is not rebuilt.
  int setTopology(const char* buffer, int size);
  // Joins the tree: builds this peer's view of it, synchronises the clock
  // with the root when the description turned that on, opens the link to
  // the parent and waits at most timeoutMs for it (a negative timeout waits
  // 30 s). Blocks. 0, also at once when already connected in this session.
  // -1 with error 0x10111 when the description leaves this peer without a
  // neighbour, 0x10301 when the parent does not answer in time, 0x10F05
  // when the root answers no clock request, or 0x10F01 when the clock
  // exchange cannot be set up.
  int connect(int timeoutMs);

  // Gives the room a secret key of 32 bytes, the same at every member
  // (the world's server hands it out with the room). From then on every
  // ENet connection this engine makes or accepts (its link to its parent,
  // its children's links, ping tests and clock synchronisation, both
  // ways) starts with a handshake in which both ends prove that they hold
  // the key without revealing it, and every packet on it is encrypted and
  // authenticated; a packet that does not open, or comes a second time, is
  // dropped and counted (getRejectedPackets). A peer without the key, or
  // with another, gets no link, no ping test and no clock answer: connect
  // then fails as when the parent does not answer (0x10301, or 0x10F05
  // when the root answers no clock request), and pingToPeer gives -1.
  // Give it before pingToPeer and connect; it holds until changed, across
  // sessions, and changing it cuts the connections made under the old
  // one. A null key or size 0 clears it: traffic in clear, as without one.
  // 0, or -1 and the key unchanged for any other size.
  int setRoomKey(const unsigned char* key, int size);
  // How many received packets the room key turned away since init: sealed
  // packets that did not open or repeated one already received, failed
  // handshakes, and packets on connections made under an older key. Any
  // thread.
  uint64_t getRejectedPackets() const;

  // The peer with the smallest ping figure of the description, other than
  // the root and peers flagged excludeFromClosest; -1 when there is none.
  int32_t getClosestPeer() const;
  // The root's id, address and port: -1, 0xFFFFFFFF and 65535 while no
  // root is known (before connect, after endSession).
  int32_t getCenterPeer() const;
  uint32_t getRootIp() const;
  int getRootPort() const;

  // --- Traffic (after connect) ------------------------------------------------

  // Sends size bytes (0..1478) to one peer, hop by hop along the tree. 0
  // (also when peerId is this user: nothing is sent), -1 for an unknown or
  // unreachable peer or a payload over 1478 bytes.
  int sendPacket(int32_t peerId, const char* data, int size, bool reliable);
  // Broadcasts size bytes (0..1478) to every peer of the tree, this one
  // included. In modes 3 and 5 a packet that is not immediate goes through
  // the frame stores and is delivered in their order; a payload too large
  // for a frame store slot goes immediate. In mode 7 a packet that is not
  // immediate travels reliably up to the root and down the tree, and every
  // member delivers it in the root's order (the root's own before this call
  // returns). 0, -1 for a payload over 1478 bytes.
  int castPacket(const char* data, int size, bool reliable, bool immediate);
  // Pulls the ordered broadcasts this peer has not received yet from its
  // parent's frame store; a host calls it about once a frame. Modes 3 and 5
  // only (otherwise, mode 7 included, nothing is sent). 0.
  int peekPacket(bool reliable);
  // The next parent log position this peer has not received (modes 3, 5).
  uint32_t getReadIndex() const;
  // Measures the round trip to the root; the answer comes back as a
  // JobPingPong. 0 (also at the root or without a tree: nothing is sent),
  // -1 without a route to the root.
  int sendPing();

  // --- Jobs -------------------------------------------------------------------
  // Messages, ping answers, disconnections and errors reported by peers,
  // oldest first. Every job call is safe from any thread.

  // Copies the oldest job into job, removes it and returns true; false and
  // job untouched when the queue is empty.
  bool popJob(TesselJob& job);
  // True when no job is queued.
  bool emptyJob();
  int getNumJobs();
  // True: discard every job from now on, uncounted. False: queue them again.
  void setJobPut(bool discard);
  // The most jobs the queue holds (65536 unless set); a job that finds it
  // full is dropped and counted. Jobs already queued stay when the limit is
  // lowered. 0, or -1 and the limit unchanged when limit is below 1.
  int setJobLimit(int limit);
  // How many jobs were dropped for a full queue since init.
  uint64_t getDroppedJobs() const;

  // --- Galaxy latency ---------------------------------------------------------
  // The world's server clusters and the latency to each, from small UDP
  // probes, cached in the user's registry for 12 hours. Any thread: one
  // lock serialises these calls and is held while one galaxy is measured.

  // Reads the galaxy list: 32-bit ping threshold and count, then per
  // galaxy a 32-bit id, a 32-bit name length (at most 64; a 64-byte name
  // must hold a NUL), the name and a 32-bit port. The threshold becomes the
  // ping threshold unless the host fixed one. 0, or -1 for a buffer shorter
  // than 8 bytes, a count of 0 (the list is kept), or an entry that does
  // not fit or has a bad name (the entries before it are kept).
  int setGalaxy(const char* buffer, int length);
  // Measures one galaxy with count probes, waiting up to timeout ms for
  // each; a cached value that is fresh is used instead. The ping in ms, or
  // a negative value when none came (the galaxy is then listed as
  // unreachable, 60000); -1 at once for an id not in the list.
  int pingToGalaxy(int32_t galaxyId, int count, int timeout);
  // Measures every galaxy of the list. 0 when some galaxy has a ping below
  // 60000; else -1 with error 0x10F05.
  int pingToAllGalaxy(int count, int timeout);
  // The galaxy's ping (60000 unreachable), or -1 when it has none.
  int getPingToGalaxy(int32_t galaxyId);
  // Overwrites the ping of a galaxy that has one; does nothing otherwise.
  void setPingToGalaxy(int32_t galaxyId, int ping);
  // Fixes the ping threshold in ms (later galaxy lists keep it). -1 turns
  // the peer ping test off; -2 lets the next galaxy list choose again.
  void setPingThreshold(int value);
  // Stored for the host; no measurement reads it.
  void setFakePing(bool value);

  // --- Registry ping cache ----------------------------------------------------
  // The last ping measured to each galaxy endpoint, in the user's registry,
  // stamped with the time and the writer's local address. Any thread.

  // Stores ping for host:port (a negative value records a failed
  // measurement) and stamps the cache with now and localIp. 0, or -1 when
  // the registry cannot be written.
  int setRegPing(const char* host, int port, uint32_t localIp, int32_t ping);
  // 0 and ping filled when the cache was stamped less than window seconds
  // ago from localIp and holds a value for host:port; -1 and ping untouched
  // otherwise.
  int getRegPing(const char* host, int port, uint32_t localIp, int window, int32_t& ping);

  // --- The engine -------------------------------------------------------------

  // The engine, null before init; for the calls the facade does not offer
  // (the peer records, isSyncTime, the overlay itself).
  Tessel* getEngine() const { return engine; }

 private:
  Tessel* engine;
};

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_API_H_
