// PeerPacketQueue is the fixed ring of packet slots in which the overlay's
// frame store keeps broadcast packets waiting for ordered delivery. It has
// one writer position and any number of readers; each reader keeps its own
// running index outside the queue. When the writer laps a slow reader the
// oldest packets are overwritten and the reader skips forward. Packets are
// copied in; readers get pointers into the ring; nothing is allocated after
// resize().
//
// Threads: the service thread and the host thread both put and get. Neither
// put() nor get() locks by itself: callers hold lock() around them (the
// same lock guards the frame store's read and deliver indexes). The queue
// is itself the lock for clang's thread safety analysis, so a field can be
// GUARDED_BY a queue. resize() and clear() take no lock and must not
// overlap a put() or get(); they run at topology setup and session reset.
//
// Lifecycle: constructed without storage; resize() (or init(int, int))
// allocates the ring; the destructor frees it. A queue without storage
// refuses every put() and returns null from every get().

#ifndef TESSEL_OVERLAY_PEER_PACKET_QUEUE_H_
#define TESSEL_OVERLAY_PEER_PACKET_QUEUE_H_

#include <cstdint>
#include <memory>

#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_mutex.h"

class TESSEL_EXPORT CAPABILITY("mutex") PeerPacketQueue {
 public:
  PeerPacketQueue();
  virtual ~PeerPacketQueue();

  PeerPacketQueue(const PeerPacketQueue&) = delete;
  PeerPacketQueue& operator=(const PeerPacketQueue&) = delete;

  // Does nothing; 0.
  int init();
  // The same as resize(capacity, maxDataSize).
  int init(int capacity, int maxDataSize);

  // Replaces the ring with capacity slots of maxDataSize + 8 bytes each,
  // discarding every stored packet; 0 on success. -1 leaves:
  //  - the ring as it was when maxDataSize is above 1478 (a message goes to
  //    standard error) or below 0;
  //  - no storage when capacity is below 1 or the allocation fails (the
  //    latter reported as a system error on standard error).
  int resize(int capacity, int maxDataSize);
  // Empties the ring (the next put fills the first slot, count is 0) and
  // keeps its storage. Readers must reset their own indexes with it.
  void clear();

  // Copies size bytes of packet into the next slot, overwriting the oldest
  // packet once the ring is full; 0. -1 stores nothing: size above the slot
  // size (with a message on standard error), size negative, or no storage.
  int put(const char* packet, int size) REQUIRES(this);
  // The packet numbered index (counted from 0 since the last resize() or
  // clear()), and index advanced past it. Null, index unchanged, when index
  // has no packet yet or there is no storage. A reader that fell a whole
  // ring behind skips to the second-oldest packet still held, since the
  // oldest sits in the slot that the next put() overwrites. The pointer
  // stays valid until the writer reaches that slot again.
  char* get(uint32_t& index) REQUIRES(this);

  // The slot size: the largest size that put() accepts (0 without storage).
  int getMaxDataSize() const { return slotSize_; }

  // Enter and leave the queue's lock (recursive). What they take is the
  // queue itself to the analysis, not the mutex inside it.
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }

 private:
  void dropStorage();

  std::unique_ptr<char[]> buffer_;
  char* bufferEnd_;
  int32_t capacity_;
  int32_t slotSize_;
  char* writePos_;
  uint32_t count_;
  KivMutex mutex_;
};

#endif  // TESSEL_OVERLAY_PEER_PACKET_QUEUE_H_
