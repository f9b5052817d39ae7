// Tessel is the engine: it owns the overlay, the local peer's record, the
// room's peer table, the galaxy tables, the job queue and the last error.
// The host application drives it (usually through TesselApi) from one
// thread; the overlay's service thread calls the four callbacks, and the
// host thread calls them too when the overlay delivers the host's own
// broadcasts.
//
// Events reach the host as TesselJob values in a first-in first-out queue
// without a size limit. jobMutex guards the queue and is the innermost lock
// of the library: nothing else is locked while it is held.

#ifndef TESSEL_ENGINE_TESSEL_H_
#define TESSEL_ENGINE_TESSEL_H_

#include <atomic>
#include <cstdint>
#include <deque>

#include "tessel/engine/tessel_job.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/records/packet_def.h"
#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_mutex.h"

namespace zintar {

class TESSEL_EXPORT Tessel {
 public:
  Tessel();
  virtual ~Tessel();

  Tessel(const Tessel&) = delete;
  Tessel& operator=(const Tessel&) = delete;

  // Job queue, host thread. popJob copies the oldest job into job and
  // returns true, or returns false and leaves job untouched when the queue
  // is empty.
  bool popJob(TesselJob& job);
  bool emptyJob();
  int getNumJobs();
  // True: discard every job pushed from now on. False: queue them again.
  void setJobPut(bool discard) { jobPut.store(discard, std::memory_order_relaxed); }

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

  // The local peer's record.
  const PacketDef::PeerProperty& getPeerProperty() const { return myProperty; }
  // Frame stamping and time synchronisation are on.
  bool isSyncTime() const { return syncTimeOn.load(std::memory_order_relaxed); }
  // The last error code (see errorText).
  uint32_t getError() const { return error.load(std::memory_order_relaxed); }
  void setError(uint32_t code) { error.store(code, std::memory_order_relaxed); }

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

  void pushJob(const TesselJob& job);
  void clearJobQueue();

  PacketDef::PeerProperty myProperty;
  // Read by the service thread without a lock, written by the host thread.
  std::atomic<bool> syncTimeOn;
  std::atomic<uint32_t> error;

  std::deque<TesselJob> jobQueue;
  KivMutex jobMutex;
  std::atomic<bool> jobPut;
};

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_H_
