// TesselApi is the facade a host application drives: it owns one engine,
// created by the first init and deleted by the destructor, and forwards
// every call to it. Before init has created the engine every call returns
// -1, false or 0 and touches nothing.
//
// One host thread calls the facade; events come back as jobs from popJob.

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
  virtual ~TesselApi();

  TesselApi(const TesselApi&) = delete;
  TesselApi& operator=(const TesselApi&) = delete;

  // Creates and initialises the engine. A second call returns 0 and does
  // nothing, whatever the first returned; -1 when the engine cannot be
  // created or its init fails (the engine stays, so getError tells why).
  int init(int32_t peerId, int port, bool listen, int mode, bool jobPut, bool fakePing);

  void setJobPut(bool discard);
  int setJobLimit(int limit);
  uint64_t getDroppedJobs() const;
  bool emptyJob();
  int getNumJobs();
  bool popJob(TesselJob& job);

  void startSession();
  int endSession();
  int connect(int timeoutMs);
  int setRoomId(int16_t major, int16_t minor);
  uint32_t getLocalIp() const;
  bool hasRealIp() const;
  int32_t getCenterPeer() const;
  uint32_t getRootIp() const;
  int getRootPort() const;
  uint32_t getReadIndex() const;
  uint32_t getError() const;

  int sendPacket(int32_t peerId, const char* data, int size, bool reliable);
  int castPacket(const char* data, int size, bool reliable, bool immediate);
  int peekPacket(bool reliable);
  int sendPing();

  int addPeer(int32_t peerId, unsigned char slot);
  int setPeerProperty(int32_t peerId, uint32_t ip, int port, bool hasRealIp, bool listen);
  int removePeer(int32_t peerId);
  int getPeerPingList(char* buffer, int size);
  int setTopology(const char* buffer, int size);
  int32_t getClosestPeer() const;

  // The registry ping cache (see Tessel::setRegPing / getRegPing).
  int setRegPing(const char* host, int port, uint32_t localIp, int32_t ping);
  int getRegPing(const char* host, int port, uint32_t localIp, int window, int32_t& ping);

  // The galaxy list and galaxy ping (see Tessel::setGalaxy and the
  // operations after it).
  void setFakePing(bool value);
  void setPingThreshold(int value);
  int setGalaxy(const char* buffer, int length);
  int pingToGalaxy(int32_t galaxyId, int count, int timeout);
  int pingToAllGalaxy(int count, int timeout);
  int getPingToGalaxy(int32_t galaxyId);
  void setPingToGalaxy(int32_t galaxyId, int ping);

  // The peer ping test (see Tessel::pingToPeer).
  int pingToPeer(int32_t peerId);

  // The engine, null before init.
  Tessel* getEngine() const { return engine; }

 private:
  Tessel* engine;
};

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_API_H_
