#include "tessel/engine/tessel.h"

#include <cstring>

namespace zintar {

Tessel::Tessel() : syncTimeOn(false), error(0), jobPut(false) {}

Tessel::~Tessel() { clearJobQueue(); }

void Tessel::pushJob(const TesselJob& job) {
  if (jobPut.load(std::memory_order_relaxed)) return;
  KivAutoLock guard(jobMutex);
  jobQueue.push_back(job);
}

bool Tessel::popJob(TesselJob& job) {
  KivAutoLock guard(jobMutex);
  if (jobQueue.empty()) return false;
  job = jobQueue.front();
  jobQueue.pop_front();
  return true;
}

bool Tessel::emptyJob() {
  KivAutoLock guard(jobMutex);
  return jobQueue.empty();
}

int Tessel::getNumJobs() {
  KivAutoLock guard(jobMutex);
  return static_cast<int>(jobQueue.size());
}

void Tessel::clearJobQueue() {
  KivAutoLock guard(jobMutex);
  jobQueue.clear();
}

void Tessel::gotMessage(int32_t peerId, const PeerPacket& packet) {
  pushJob(TesselJob(TesselJob::JobMessage, peerId, packet));
}

void Tessel::gotPingPong(int32_t peerId, int16_t roundTrip) {
  TesselJob job(TesselJob::JobPingPong, peerId);
  job.setPing(static_cast<uint16_t>(roundTrip));
  pushJob(job);
}

void Tessel::gotDisconnect(const PeerPacket& packet) {
  int32_t peerId = -1;
  if (packet.header().dataSize() >= sizeof(peerId)) std::memcpy(&peerId, packet.data(), sizeof(peerId));
  pushJob(TesselJob(TesselJob::JobDisconnect, peerId));
}

void Tessel::gotError(int32_t peerId, uint32_t code) {
  TesselJob job(TesselJob::JobError, peerId);
  job.setError(code);
  pushJob(job);
}

}  // namespace zintar
