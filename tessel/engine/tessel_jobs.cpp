// Tessel: the job queue through which events reach the host, and the
// overlay's callbacks that fill it. jobMutex guards the end jobs are queued
// at and is the innermost lock: the overlay may call in while it holds its
// frame store lock, from the service thread or from the host's own
// broadcasts. The host pops from the other end under jobTakeMutex.

#include <cstring>
#include <new>
#include <vector>

#include "tessel/engine/tessel.h"

namespace zintar {

namespace {

// to becomes a copy of from, payload bytes beyond the job's size left out
// (the copy constructor's rule): a job is mostly much smaller than its
// inline buffer.
void copyJob(TesselJob& to, const TesselJob& from) {
  if (&to == &from) return;
  to.~TesselJob();
  new (&to) TesselJob(from);
}

}  // namespace

void Tessel::pushJob(const TesselJob& job) {
  if (jobPut.load(std::memory_order_relaxed)) return;
  KivAutoLock guard(jobMutex);
  if (!jobQueue) return;
  JobRing& ring = *jobQueue;
  // A host that stops popping, or a peer that floods, must not grow the
  // queue without end. Jobs popped meanwhile only make room.
  if (queuedJobs.load(std::memory_order_relaxed) >= jobLimit.load(std::memory_order_relaxed)) {
    droppedJobs.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (ring.count == ring.slots.size()) {
    try {
      std::vector<TesselJob> larger(ring.slots.empty() ? JobRingFirst : 2 * ring.slots.size());
      for (size_t i = 0; i < ring.count; ++i)
        copyJob(larger[i], ring.slots[(ring.head + i) % ring.slots.size()]);
      ring.slots.swap(larger);
      ring.head = 0;
    } catch (...) {
      droppedJobs.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  copyJob(ring.slots[(ring.head + ring.count) % ring.slots.size()], job);
  ++ring.count;
  queuedJobs.fetch_add(1, std::memory_order_release);
}

int Tessel::setJobLimit(int limit) {
  if (limit < 1) return -1;
  jobLimit.store(limit, std::memory_order_relaxed);
  return 0;
}

bool Tessel::popJob(TesselJob& job) {
  // A job queued meanwhile is found at the next poll.
  if (queuedJobs.load(std::memory_order_acquire) == 0) return false;
  KivAutoLock take(jobTakeMutex);
  JobRing& ring = takenJobs;
  if (ring.count == 0) {
    // Everything queued so far changes ends at once.
    KivAutoLock guard(jobMutex);
    if (!jobQueue || jobQueue->count == 0) return false;
    std::swap(ring, *jobQueue);
  }
  copyJob(job, ring.slots[ring.head]);
  ring.head = (ring.head + 1) % ring.slots.size();
  --ring.count;
  queuedJobs.fetch_sub(1, std::memory_order_release);
  if (ring.count == 0) {
    ring.head = 0;
    // The room a burst needed goes back once it has been popped.
    if (ring.slots.size() > JobRingKeep) {
      std::vector<TesselJob> first;
      try {
        first.resize(JobRingFirst);
      } catch (...) {
        return true;
      }
      ring.slots.swap(first);
    }
  }
  return true;
}

bool Tessel::emptyJob() { return queuedJobs.load(std::memory_order_acquire) == 0; }

int Tessel::getNumJobs() { return queuedJobs.load(std::memory_order_acquire); }

void Tessel::clearJobQueue() {
  KivAutoLock take(jobTakeMutex);
  KivAutoLock guard(jobMutex);
  takenJobs.head = 0;
  takenJobs.count = 0;
  if (jobQueue) {
    jobQueue->head = 0;
    jobQueue->count = 0;
  }
  queuedJobs.store(0, std::memory_order_release);
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
