// Tessel: the job queue through which events reach the host, and the
// overlay's callbacks that fill it. jobMutex guards the queue and is the
// innermost lock: the overlay may call in while it holds its frame store
// lock, from the service thread or from the host's own broadcasts.

#include <cstring>

#include "tessel/engine/tessel.h"

namespace zintar {

void Tessel::pushJob(const TesselJob& job) {
  if (jobPut.load(std::memory_order_relaxed)) return;
  KivAutoLock guard(jobMutex);
  if (!jobQueue) return;
  // A host that stops popping, or a peer that floods, must not grow the
  // queue without end.
  if (jobQueue->size() >= static_cast<size_t>(jobLimit.load(std::memory_order_relaxed))) {
    droppedJobs.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  jobQueue->push_back(job);
}

int Tessel::setJobLimit(int limit) {
  if (limit < 1) return -1;
  jobLimit.store(limit, std::memory_order_relaxed);
  return 0;
}

bool Tessel::popJob(TesselJob& job) {
  KivAutoLock guard(jobMutex);
  if (!jobQueue || jobQueue->empty()) return false;
  job = jobQueue->front();
  jobQueue->pop_front();
  return true;
}

bool Tessel::emptyJob() {
  KivAutoLock guard(jobMutex);
  return !jobQueue || jobQueue->empty();
}

int Tessel::getNumJobs() {
  KivAutoLock guard(jobMutex);
  return jobQueue ? static_cast<int>(jobQueue->size()) : 0;
}

void Tessel::clearJobQueue() {
  KivAutoLock guard(jobMutex);
  if (jobQueue) jobQueue->clear();
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
