#include "tessel/engine/tessel_api.h"

#include <new>

namespace zintar {

TesselApi::TesselApi() : engine(nullptr) {}

TesselApi::~TesselApi() {
  delete engine;
  engine = nullptr;
}

int TesselApi::init(int32_t peerId, int port, bool listen, int mode, bool jobPut, bool fakePing) {
  if (engine != nullptr) return 0;
  engine = new (std::nothrow) Tessel();
  if (engine == nullptr) return -1;
  return engine->init(peerId, port, listen, mode, jobPut, fakePing);
}

void TesselApi::setJobPut(bool discard) {
  if (engine != nullptr) engine->setJobPut(discard);
}

int TesselApi::setJobLimit(int limit) { return engine != nullptr ? engine->setJobLimit(limit) : -1; }

uint64_t TesselApi::getDroppedJobs() const { return engine != nullptr ? engine->getDroppedJobs() : 0; }

bool TesselApi::emptyJob() { return engine == nullptr || engine->emptyJob(); }

int TesselApi::getNumJobs() { return engine != nullptr ? engine->getNumJobs() : 0; }

bool TesselApi::popJob(TesselJob& job) { return engine != nullptr && engine->popJob(job); }

void TesselApi::startSession() {
  if (engine != nullptr) engine->startSession();
}

int TesselApi::endSession() { return engine != nullptr ? engine->endSession() : -1; }

int TesselApi::connect(int timeoutMs) { return engine != nullptr ? engine->connect(timeoutMs) : -1; }

int TesselApi::setRoomKey(const unsigned char* key, int size) {
  return engine != nullptr ? engine->setRoomKey(key, size) : -1;
}

uint64_t TesselApi::getRejectedPackets() const { return engine != nullptr ? engine->getRejectedPackets() : 0; }

int TesselApi::setRoomId(int16_t major, int16_t minor) {
  return engine != nullptr ? engine->setRoomId(major, minor) : -1;
}

uint32_t TesselApi::getLocalIp() const { return engine != nullptr ? engine->getLocalIp() : 0; }

bool TesselApi::hasRealIp() const { return engine != nullptr && engine->hasRealIp(); }

int32_t TesselApi::getCenterPeer() const { return engine != nullptr ? engine->getCenterPeer() : -1; }

uint32_t TesselApi::getRootIp() const { return engine != nullptr ? engine->getRootIp() : 0xFFFFFFFFu; }

int TesselApi::getRootPort() const { return engine != nullptr ? engine->getRootPort() : -1; }

uint32_t TesselApi::getReadIndex() const { return engine != nullptr ? engine->getReadIndex() : 0; }

uint32_t TesselApi::getError() const { return engine != nullptr ? engine->getError() : 0; }

int TesselApi::sendPacket(int32_t peerId, const char* data, int size, bool reliable) {
  return engine != nullptr ? engine->sendPacket(peerId, data, size, reliable) : -1;
}

int TesselApi::castPacket(const char* data, int size, bool reliable, bool immediate) {
  return engine != nullptr ? engine->castPacket(data, size, reliable, immediate) : -1;
}

int TesselApi::peekPacket(bool reliable) { return engine != nullptr ? engine->peekPacket(reliable) : -1; }

int TesselApi::sendPing() { return engine != nullptr ? engine->sendPing() : -1; }

int TesselApi::addPeer(int32_t peerId, unsigned char slot) {
  return engine != nullptr ? engine->addPeer(peerId, slot) : -1;
}

int TesselApi::setPeerProperty(int32_t peerId, uint32_t ip, int port, bool hasRealIp, bool listen) {
  return engine != nullptr ? engine->setPeerProperty(peerId, ip, port, hasRealIp, listen) : -1;
}

int TesselApi::removePeer(int32_t peerId) { return engine != nullptr ? engine->removePeer(peerId) : -1; }

int TesselApi::getPeerPingList(char* buffer, int size) {
  return engine != nullptr ? engine->getPeerPingList(buffer, size) : -1;
}

int TesselApi::setTopology(const char* buffer, int size) {
  return engine != nullptr ? engine->setTopology(buffer, size) : -1;
}

int32_t TesselApi::getClosestPeer() const { return engine != nullptr ? engine->getClosestPeer() : -1; }

int TesselApi::setRegPing(const char* host, int port, uint32_t localIp, int32_t ping) {
  return engine != nullptr ? engine->setRegPing(host, port, localIp, ping) : -1;
}

int TesselApi::getRegPing(const char* host, int port, uint32_t localIp, int window, int32_t& ping) {
  return engine != nullptr ? engine->getRegPing(host, port, localIp, window, ping) : -1;
}

void TesselApi::setFakePing(bool value) {
  if (engine != nullptr) engine->setFakePing(value);
}

void TesselApi::setPingThreshold(int value) {
  if (engine != nullptr) engine->setPingThreshold(value);
}

int TesselApi::setGalaxy(const char* buffer, int length) {
  return engine != nullptr ? engine->setGalaxy(buffer, length) : -1;
}

int TesselApi::pingToGalaxy(int32_t galaxyId, int count, int timeout) {
  return engine != nullptr ? engine->pingToGalaxy(galaxyId, count, timeout) : -1;
}

int TesselApi::pingToAllGalaxy(int count, int timeout) {
  return engine != nullptr ? engine->pingToAllGalaxy(count, timeout) : -1;
}

int TesselApi::getPingToGalaxy(int32_t galaxyId) {
  return engine != nullptr ? engine->getPingToGalaxy(galaxyId) : -1;
}

void TesselApi::setPingToGalaxy(int32_t galaxyId, int ping) {
  if (engine != nullptr) engine->setPingToGalaxy(galaxyId, ping);
}

int TesselApi::pingToPeer(int32_t peerId) { return engine != nullptr ? engine->pingToPeer(peerId) : -1; }

}  // namespace zintar
