// Tessel: construction, init/deinit, sessions, connect, the accessors and
// the calls forwarded to the overlay.

#include "tessel/engine/tessel.h"

#include <cstring>
#include <new>

#include "tessel/engine/tessel_error.h"
#include "tessel/toolkit/kiv_host.h"

namespace zintar {

Tessel::Tessel()
    : numPeers(0),
      numTopologyRecords(0),
      hostPingThreshold(-2),
      pingThreshold(1000),
      jobPut(false),
      jobLimit(DefaultJobLimit),
      droppedJobs(0),
      queuedJobs(0),
      connected(false),
      fakePing(false),
      syncTimeOn(false),
      error(0),
      deinitDone(false) {
  for (int slot = 0; slot < MaxSlots; ++slot) {
    parentTable[slot] = -1;
    peerPing[slot] = -1;
    topologyPing[slot] = -1;
  }
}

Tessel::~Tessel() { deinit(); }

namespace {

// The overlay reaches the engine only through these.
void onMessage(void* engine, int32_t peerId, const PeerPacket& packet) {
  static_cast<Tessel*>(engine)->gotMessage(peerId, packet);
}
void onPingPong(void* engine, int32_t peerId, int16_t roundTrip) {
  static_cast<Tessel*>(engine)->gotPingPong(peerId, roundTrip);
}
void onDisconnect(void* engine, const PeerPacket& packet) { static_cast<Tessel*>(engine)->gotDisconnect(packet); }
void onError(void* engine, int32_t peerId, uint32_t code) { static_cast<Tessel*>(engine)->gotError(peerId, code); }
void onFailure(void* engine, uint32_t code) { static_cast<Tessel*>(engine)->setError(code); }

}  // namespace

void Tessel::setOwnProperty(const PacketDef::PeerProperty& record) {
  {
    KivAutoLock guard(propertyMutex);
    myProperty = record;
  }
  client.setOwnProperty(record);
}

PacketDef::PeerProperty Tessel::copyPeerProperty() const {
  KivAutoLock guard(propertyMutex);
  return myProperty;
}

int Tessel::init(int32_t peerId, int port, bool listen, int mode, bool discardJobs, bool fake) {
  jobPut.store(discardJobs, std::memory_order_relaxed);
  PacketDef::PeerProperty own = copyPeerProperty();
  own.id = peerId;
  own.port = static_cast<uint16_t>(port);
  own.listen = listen ? 1 : 0;
  setOwnProperty(own);
  fakePing.store(fake, std::memory_order_relaxed);
  if (setIpAddress() < 0) {
    setError(ErrorCode::NoSystemInfo);
    return -1;
  }
  OverlayCallbacks callbacks;
  callbacks.context = this;
  callbacks.gotMessage = onMessage;
  callbacks.gotPingPong = onPingPong;
  callbacks.gotDisconnect = onDisconnect;
  callbacks.gotError = onError;
  callbacks.setError = onFailure;
  if (client.init(callbacks, port, listen, mode) < 0) {
    setError(ErrorCode::CannotCreate);
    return -1;
  }
  bool created;
  {
    KivAutoLock guard(galaxyMutex);
    galaxies.reset(new (std::nothrow) std::vector<PacketDef::HostIdInfo>());
    galaxyPings.reset(new (std::nothrow) std::map<int32_t, int>());
    created = galaxies && galaxyPings;
  }
  {
    KivAutoLock guard(jobMutex);
    jobQueue.reset(new (std::nothrow) JobRing());
    created = created && jobQueue;
    if (created) {
      try {
        jobQueue->slots.resize(JobRingFirst);
      } catch (...) {
        created = false;
      }
    }
  }
  if (!created) {
    setError(ErrorCode::CannotCreate);
    return -1;
  }
  clearPeers();
  return 0;
}

void Tessel::deinit() {
  if (deinitDone) return;
  deinitDone = true;
  // No callback may reach the engine once its tables are gone.
  client.stop();
  client.deinit();
  {
    KivAutoLock guard(galaxyMutex);
    galaxies.reset();
    galaxyPings.reset();
  }
  KivAutoLock take(jobTakeMutex);
  KivAutoLock guard(jobMutex);
  jobQueue.reset();
  takenJobs = JobRing();
  queuedJobs.store(0, std::memory_order_relaxed);
}

void Tessel::startSession() {
  clearPeers();
  client.reinit();
  clearJobQueue();
  connected = false;
  setError(ErrorCode::Successful);
}

int Tessel::endSession() {
  client.reinit();
  // The reset emptied the links' records; the host's view follows.
  for (PacketDef::PeerProperty& record : peerProperty) record.clear();
  clearJobQueue();
  connected = false;
  return 0;
}

int Tessel::connect(int timeoutMs) {
  if (timeoutMs < 0) timeoutMs = DefaultConnectTimeoutMs;
  if (connected) return 0;
  publishPeerProperties();
  if (client.buildTopology(MaxSlots, parentTable) < 0) return -1;
  if (client.waitForGo(timeoutMs) < 0) return -1;
  connected = true;
  return 0;
}

int Tessel::setIpAddress() {
  std::vector<uint32_t> addresses;
  if (KivHost::getLocalAddresses(addresses) < 0) return -1;
  KivAutoLock guard(propertyMutex);
  uint32_t ip = myProperty.ip;
  bool real = myProperty.hasRealIp != 0;
  chooseLocalAddress(addresses, ip, real);
  myProperty.ip = ip;
  myProperty.hasRealIp = real ? 1 : 0;
  return 0;
}

void Tessel::chooseLocalAddress(const std::vector<uint32_t>& addresses, uint32_t& ip, bool& hasRealIp) {
  for (uint32_t address : addresses) {
    if (address == 0x7F000001u || address == 0xFFFFFFFFu) continue;
    uint32_t first = address >> 24;
    uint32_t second = (address >> 16) & 0xFF;
    bool isPrivate = (first == 192 && second == 168) || first == 10 || (first == 172 && second >= 16 && second <= 31);
    ip = address;
    hasRealIp = !isPrivate;
    if (!isPrivate) return;
  }
}

int Tessel::setRoomId(int16_t major, int16_t minor) {
  if (static_cast<uint16_t>(major) > PacketDef::RoomId::MaxMajor ||
      static_cast<uint16_t>(minor) > PacketDef::RoomId::MaxMinor)
    return -1;
  PacketDef::PeerProperty own = copyPeerProperty();
  own.roomId.setMajor(static_cast<uint16_t>(major));
  own.roomId.setMinor(static_cast<uint16_t>(minor));
  setOwnProperty(own);
  return 0;
}

int32_t Tessel::getCenterPeer() const { return getPeerProperty(client.getRootSlotId()).id; }

uint32_t Tessel::getRootIp() const { return getPeerProperty(client.getRootSlotId()).ip; }

int Tessel::getRootPort() const { return getPeerProperty(client.getRootSlotId()).port; }

int Tessel::sendPacket(int32_t peerId, const char* data, int size, bool reliable) {
  return client.sendPacket(peerId, data, size, reliable);
}

int Tessel::castPacket(const char* data, int size, bool reliable, bool immediate) {
  return client.castPacket(data, size, reliable, immediate);
}

int Tessel::peekPacket(bool reliable) { return client.peekPacket(reliable); }

int Tessel::sendPing() { return client.sendPing(); }

}  // namespace zintar
