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

 private:
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
