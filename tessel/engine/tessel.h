// Tessel is the engine: it owns the overlay, the local peer's record, the
// room's peer table, the galaxy tables, the job queue and the last error.
// The host application drives it (usually through TesselApi) from one
// thread; the overlay's service thread calls the four callbacks, and the
// host thread calls them too when the overlay delivers the host's own
// broadcasts.
//
// Lifecycle: construct; init (local address, overlay host and thread,
// tables); per room startSession, setRoomId, addPeer for every user
// including itself, setTopology, connect, traffic, endSession; destruction
// runs deinit, which stops the service thread before anything is freed.
//
// Events reach the host as TesselJob values in a first-in first-out queue
// of at most jobLimit jobs (65536 unless the host sets another limit); a
// job that finds the queue full is dropped and counted. jobMutex guards the
// queue's filling end and is the innermost lock of the library: nothing
// else is locked while it is held, and the overlay's locks come before it
// (peer_client.h). jobTakeMutex guards the end the host pops from and comes
// before jobMutex.
// galaxyMutex guards the galaxy tables and propertyMutex the own record;
// no other lock is taken while either is held. The per-slot tables have no
// lock: the host thread alone uses them.

#ifndef TESSEL_ENGINE_TESSEL_H_
#define TESSEL_ENGINE_TESSEL_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "tessel/engine/tessel_job.h"
#include "tessel/overlay/peer_client.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/records/packet_def.h"
#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_mutex.h"

namespace zintar {

class TESSEL_EXPORT Tessel {
 public:
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;
  // A slot's topology ping when the description gave none.
  static constexpr int32_t UnknownPing = 60000;
  // The wait of connect() when its argument is negative.
  static constexpr int DefaultConnectTimeoutMs = 30000;
  // How many jobs the queue holds until the host sets another limit.
  static constexpr int DefaultJobLimit = 65536;

  Tessel();
  virtual ~Tessel();

  Tessel(const Tessel&) = delete;
  Tessel& operator=(const Tessel&) = delete;

  // --- Life cycle -----------------------------------------------------------
  // Stores the arguments, finds the local address, starts the overlay
  // (listening on port when listen is true; mode 3 ordered, 5 ordered and
  // sequenced delivery) and creates the tables. 0, or -1 with the last
  // error 0x10F03 (no local address) or 0x10F01 (overlay or tables).
  int init(int32_t peerId, int port, bool listen, int mode, bool jobPut, bool fakePing);
  // Stops the service thread and frees the tables. Runs once.
  void deinit();
  // A new room: empties the peer table, resets the overlay and the job
  // queue, clears the last error.
  void startSession();
  // Resets the overlay and the job queue; keeps the peer table. Always 0.
  int endSession();
  // Builds the local view of the tree and joins it: time synchronisation
  // when on, the link to the parent, and a short wait for frame 0. A
  // negative timeout waits 30 s. 0 at once when already connected; -1 with
  // the last error 0x10111 (no topology) or 0x10301 (timeout).
  int connect(int timeoutMs);

  // The room's key, 32 bytes (null or size 0 clears it): every connection
  // of the overlay, its peer ping tests and clock synchronisation from now
  // on proves the key and seals its packets. 0, or -1 and the key
  // unchanged for any other size. See TesselApi::setRoomKey.
  int setRoomKey(const unsigned char* key, int size) { return client.setRoomKey(key, size); }
  // Received packets the key turned away since init (any thread).
  uint64_t getRejectedPackets() const { return client.getRejectedPackets(); }

  // --- Accessors ---------------------------------------------------------------
  // -1 when major exceeds 1023 or minor 16383 (both taken as unsigned
  // 16-bit); the own slot is kept.
  int setRoomId(int16_t major, int16_t minor);
  uint32_t getLocalIp() const { return copyPeerProperty().ip; }
  bool hasRealIp() const { return copyPeerProperty().hasRealIp != 0; }
  // The local peer's record, for the host's thread, which alone changes it
  // (and so needs no lock to read it).
  const PacketDef::PeerProperty& getPeerProperty() const NO_THREAD_SAFETY_ANALYSIS { return myProperty; }
  // A copy of it for other threads: the service thread reads the own slot
  // and room while the host may be joining a new room.
  PacketDef::PeerProperty copyPeerProperty() const;
  // Replaces the own record and tells the overlay (host thread).
  void setOwnProperty(const PacketDef::PeerProperty& record);
  // The root's id, address and port; -1, 0xFFFFFFFF and 65535 while no
  // root is known.
  int32_t getCenterPeer() const;
  uint32_t getRootIp() const;
  int getRootPort() const;
  uint32_t getReadIndex() const { return client.getReadIndex(); }
  // Frame stamping and time synchronisation are on.
  bool isSyncTime() const { return syncTimeOn.load(std::memory_order_relaxed); }
  // The last error code (see errorText).
  uint32_t getError() const { return error.load(std::memory_order_relaxed); }
  void setError(uint32_t code) { error.store(code, std::memory_order_relaxed); }
  bool isConnected() const { return connected; }

  // --- Traffic, forwarded to the overlay --------------------------------------
  int sendPacket(int32_t peerId, const char* data, int size, bool reliable);
  int castPacket(const char* data, int size, bool reliable, bool immediate);
  int peekPacket(bool reliable);
  int sendPing();

  // --- Peer table ---------------------------------------------------------------
  // Puts peerId into slot (0..31, else -1). The own id teaches the engine
  // its slot. While connected the peer joins the running tree below the
  // root.
  int addPeer(int32_t peerId, unsigned char slot);
  // Replaces a known peer's record with the given address and flags. -1
  // for an unknown id.
  int setPeerProperty(int32_t peerId, uint32_t ip, int port, bool hasRealIp, bool listen);
  // Takes a peer out of the room and the overlay. -1 for an unknown id.
  int removePeer(int32_t peerId);
  // Writes the peer ping list (own record, the occupied slots with their
  // pings, the galaxies with theirs). The byte count, or -1 when it does
  // not fit (what was written stays).
  int getPeerPingList(char* buffer, int size);
  // Applies a topology description: frame store size, synchronisation,
  // peer records, tree entries. 0, or -1 when it is short (what was
  // applied stays). Records and entries naming a slot or parent of 32 or
  // more are ignored.
  int setTopology(const char* buffer, int size);
  // The peer with the smallest topology ping, other than the root and
  // peers excluded from the choice; -1 when there is none.
  int32_t getClosestPeer() const;
  // The record of slot, which the host's thread may read and write. The
  // engine's own answers (getClosestPeer, getCenterPeer, the peer ping
  // list, pingToPeer) use it at once; the overlay's link, which keeps a
  // locked copy for the service thread, takes it at the next connect,
  // addPeer, setPeerProperty, removePeer or setTopology (a record without a
  // peer, id -1, is then emptied; a record keeps its slot). Outside 0..31
  // the non-const form returns a scratch record reset to the defaults at
  // every such call, the const form a record of defaults that never changes.
  PacketDef::PeerProperty& getPeerProperty(int32_t slot);
  const PacketDef::PeerProperty& getPeerProperty(int32_t slot) const;
  // Measured ping to slot in milliseconds, -1 unknown or out of range.
  int32_t getPeerPing(int32_t slot) const;
  int32_t getParent(int32_t slot) const;
  int32_t getTopologyPing(int32_t slot) const;
  int getNumPeers() const { return numPeers.load(std::memory_order_relaxed); }

  // --- Jobs ---------------------------------------------------------------------
  // popJob copies the oldest job into job and returns true, or returns
  // false and leaves job untouched when the queue is empty.
  bool popJob(TesselJob& job);
  bool emptyJob();
  int getNumJobs();
  // True: discard every job pushed from now on. False: queue them again.
  void setJobPut(bool discard) { jobPut.store(discard, std::memory_order_relaxed); }
  // The most jobs the queue holds; a job pushed while it holds that many is
  // dropped and counted. Jobs already queued stay when the limit is lowered.
  // 0, or -1 and the limit unchanged when limit is below 1.
  int setJobLimit(int limit);
  // The number of jobs dropped for a full queue since init (jobs discarded
  // while jobPut is set are not counted). Any thread.
  uint64_t getDroppedJobs() const { return droppedJobs.load(std::memory_order_relaxed); }

  // Callbacks from the overlay, any thread. Each queues one job.
  // gotMessage: a JobMessage from peerId with the packet's frame id, delay
  // and payload.
  void gotMessage(int32_t peerId, const PeerPacket& packet);
  // gotPingPong: a JobPingPong with ping = roundTrip.
  void gotPingPong(int32_t peerId, int16_t roundTrip);
  // gotDisconnect: a JobDisconnect for the peer whose PeerProperty the
  // packet carries (its first four payload bytes; -1 when it carries fewer).
  void gotDisconnect(const PeerPacket& packet);
  // gotError: a JobError from peerId with the code it reported.
  void gotError(int32_t peerId, uint32_t error);

  // The overlay, for tools and tests that look inside (or, like a lossy
  // link test, adjust it).
  const PeerClient& getClient() const { return client; }
  PeerClient& getClient() { return client; }

  // Chooses the local address from a resolver's list (host-order numbers):
  // 127.0.0.1 and 255.255.255.255 are skipped, the first public address
  // wins, otherwise the last private one (10/8, 172.16/12, 192.168/16) is
  // kept. ip and hasRealIp are unchanged when every address is skipped.
  static void chooseLocalAddress(const std::vector<uint32_t>& addresses, uint32_t& ip, bool& hasRealIp);
  // -1 when a buffer of size bytes cannot hold end - start bytes, else 0.
  static int checkBufferSize(int size, const char* start, const char* end);

  // --- Galaxy list and galaxy ping (latency/galaxy_ping.cpp) ---
  // The world's server clusters and the latency to each, measured with
  // small UDP probes and cached in the registry for 12 hours per local
  // address. Any thread of the host application; galaxyMutex serialises
  // them and is held for the whole measurement of one galaxy. Every
  // operation that has a result fails with -1 outside init..deinit and
  // touches nothing; the void ones then do nothing.
  //
  // Reads the galaxy list buffer (threshold, count, entries of id, name
  // length, name, port). The threshold becomes the ping threshold unless
  // the host has fixed one, even when a later check fails. -1 for a buffer
  // shorter than 8 bytes, a count of 0 (the list is then unchanged), or an
  // entry that runs past length, names more than 64 bytes, or names 64
  // bytes without a NUL among them (entries read before it stay); else 0.
  int setGalaxy(const char* buffer, int length);
  // Measures the galaxy with count probes, waiting up to timeout ms for
  // each answer: a fresh cached value when the registry has one, else the
  // mean of the six smallest half round trips. The ping in ms, or a
  // negative value when none was measured (the table then holds 60000).
  // -1 at once for an id that is not in the list.
  int pingToGalaxy(int32_t galaxyId, int count, int timeout);
  // Measures every galaxy of the list in order. 0 when some galaxy (of
  // this list or an earlier one) has a ping below 60000; else -1 with the
  // last error 0x10F05.
  int pingToAllGalaxy(int count, int timeout);
  // The galaxy's ping (60000 unreachable), or -1 when it has none.
  int getPingToGalaxy(int32_t galaxyId);
  // Overwrites the ping of a galaxy that has one; others stay without.
  void setPingToGalaxy(int32_t galaxyId, int ping);
  // A copy of the galaxy list in buffer order; empty outside init..deinit.
  std::vector<PacketDef::HostIdInfo> getGalaxies();
  // Stored for the host; no measurement consults it.
  void setFakePing(bool value) { fakePing.store(value, std::memory_order_relaxed); }
  // Stored for the host: nothing in the library reads it.
  bool isFakePing() const { return fakePing.load(std::memory_order_relaxed); }
  // Fixes the ping threshold in ms; later galaxy lists keep it. -1 turns
  // the peer ping test off; -2 hands the choice back to the next list.
  void setPingThreshold(int value);
  // The effective ping threshold in ms.
  int getPingThreshold() const { return pingThreshold.load(std::memory_order_relaxed); }
  // --- end of galaxy list and galaxy ping ---

  // --- Peer ping test (latency/peer_ping.cpp) ---
  // Measures the latency to a peer of the room over a short-lived ENet
  // connection of its own: the connection, at most three PingTest probes,
  // each wait 2 x the ping threshold, and a graceful close. The half round
  // trip in ms when a peer of the same room answered, else -1; either is
  // written into the peer's slot of the peer table. -1 without traffic
  // when the peer does not listen or the threshold is -1; -1 and nothing
  // written for an id without a slot. Blocks on the calling thread until
  // the test is over.
  int pingToPeer(int32_t peerId);
  // --- end of peer ping test ---

  // --- Registry ping cache (latency/registry_ping.cpp) ---
  // The last ping measured to each galaxy endpoint, kept in the current
  // user's registry together with the time of the latest write and the local
  // address of the writer. Any thread; none of these touches the engine's
  // state or takes a lock. Registry failures give -1 and set no error code.
  //
  // Stores ping (a negative value records a failed measurement) for
  // host:port and stamps the cache with the current time and localIp
  // (host-order number). 0, or -1 when the registry cannot be written; a
  // failure half-way keeps the values written before it.
  int setRegPing(const char* host, int port, uint32_t localIp, int32_t ping);
  // 0 and ping filled when the cache was written less than window seconds
  // ago from localIp and holds a value for host:port (a stored negative
  // value is returned as it is); -1 otherwise, ping untouched.
  int getRegPing(const char* host, int port, uint32_t localIp, int window, int32_t& ping);
  // The fixed ping that a tester has put into the registry for simulated
  // node simulatorIndex to host:port. 0 and ping filled, or -1 when fixed
  // pings are not switched on ("RandomFake" absent or not 0) or there is
  // no such value.
  int getRegSimulatorPing(const char* host, int port, int simulatorIndex, int32_t& ping);
  // --- end of registry ping cache ---

 private:
  // --- Registry ping cache: key and value names ---
  static constexpr const char* RegKeyRoot = "Software\\Zintar\\Galaxy";
  static constexpr const char* RegKeyTime = "Time";
  static constexpr const char* RegKeyLocalIp = "LocalIp";
  static constexpr const char* RegKeySimulatorRoot = "Software\\Zintar\\TopologySimulator";
  static constexpr const char* RegKeySimulatorGeneral = "Software\\Zintar\\TopologySimulator\\General";
  static constexpr const char* RegKeySimulatorRandomFake = "RandomFake";
  // --- end of registry ping cache ---

  // --- Galaxy ping ---
  // How long a cached galaxy ping stays fresh, in seconds (12 hours).
  static constexpr int GalaxyCacheWindow = 43200;
  // The ping that marks an unreachable galaxy.
  static constexpr int UnreachablePing = 60000;
  // The longest galaxy name a list entry may carry, NUL included.
  static constexpr uint32_t MaxGalaxyNameLength = 64;
  // A probe's size, and the largest answer read.
  static constexpr int GalaxyProbeSize = 12;
  static constexpr int MaxGalaxyAnswerSize = 1484;
  // How many of the smallest samples a galaxy ping averages.
  static constexpr size_t GalaxySampleCount = 6;
  // Stores ping for the galaxy, a negative one as UnreachablePing. The
  // caller holds galaxyMutex and has checked that the table exists.
  void setGalaxyPing(int32_t galaxyId, int ping) REQUIRES(galaxyMutex);
  // --- end of galaxy ping ---

  void pushJob(const TesselJob& job);
  void clearJobQueue();
  int setIpAddress();
  void clearPeers();
  // Hands the records that the host changed through getPeerProperty(slot)
  // to the overlay's links.
  void publishPeerProperties();

  PacketDef::PeerProperty myProperty GUARDED_BY(propertyMutex);
  // The host thread writes myProperty while other threads copy it.
  mutable KivMutex propertyMutex;
  PacketDef::PeerProperty nullProperty;
  // Handed out for a slot outside 0..31 by the non-const getPeerProperty.
  PacketDef::PeerProperty scratchProperty;
  PeerClient client;
  // The host thread's view of each slot's record; the overlay's links hold
  // the copies the service thread reads.
  PacketDef::PeerProperty peerProperty[MaxSlots];
  int32_t parentTable[MaxSlots];
  int32_t peerPing[MaxSlots];
  int32_t topologyPing[MaxSlots];
  std::atomic<int32_t> numPeers;
  int32_t numTopologyRecords;
  std::unique_ptr<std::vector<PacketDef::HostIdInfo>> galaxies GUARDED_BY(galaxyMutex) PT_GUARDED_BY(galaxyMutex);
  std::unique_ptr<std::map<int32_t, int>> galaxyPings GUARDED_BY(galaxyMutex) PT_GUARDED_BY(galaxyMutex);
  KivMutex galaxyMutex;
  // Written by setPingThreshold and setGalaxy, read by addPeer and the
  // peer ping test, possibly from different host threads.
  std::atomic<int> hostPingThreshold;
  std::atomic<int> pingThreshold;
  // The job queue: two rings of jobs, oldest at head. Producers fill
  // jobQueue under jobMutex; popJob serves the host from takenJobs under
  // jobTakeMutex and, when that is empty, swaps the two rings in one step,
  // so that a host polling as fast as jobs come in meets the service thread
  // on jobMutex once per batch instead of once per job. A ring doubles when
  // full and goes back to its first size once emptied after a burst of
  // more than JobRingKeep jobs: queueing a job allocates nothing in the
  // steady state and copies only the bytes the job holds.
  struct JobRing {
    std::vector<TesselJob> slots;
    size_t head = 0;
    size_t count = 0;
  };
  static constexpr size_t JobRingFirst = 16;
  static constexpr size_t JobRingKeep = 1024;
  KivMutex jobTakeMutex ACQUIRED_BEFORE(jobMutex);
  JobRing takenJobs GUARDED_BY(jobTakeMutex);
  std::unique_ptr<JobRing> jobQueue GUARDED_BY(jobMutex) PT_GUARDED_BY(jobMutex);
  KivMutex jobMutex ACQUIRED_AFTER(propertyMutex, galaxyMutex);
  std::atomic<bool> jobPut;
  std::atomic<int> jobLimit;
  std::atomic<uint64_t> droppedJobs;
  // The number of jobs in both rings, raised under jobMutex and lowered
  // under jobTakeMutex: a poll of an empty queue takes no lock.
  std::atomic<int> queuedJobs;
  bool connected;
  std::atomic<bool> fakePing;
  // Read by the service thread without a lock, written by the host thread.
  std::atomic<bool> syncTimeOn;
  std::atomic<uint32_t> error;
  bool deinitDone;
};

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_H_
