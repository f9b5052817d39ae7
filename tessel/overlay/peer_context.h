// PeerContext is one link of the overlay: the record of one remote peer and
// the ENet connection to it, its place in the owner's neighbour list, and
// the newest application data block received from that peer. PeerClient
// owns 32 of them, one per slot; a slot without a peer has property.id -1
// and no ENet peer.
//
// A context drives ENet itself only in connect() (service thread) and
// setThrottle(); packets it sends are queued on its owner for the service
// thread. While the link is up, the ENet peer's data field points back to
// the context.
//
// Threads: connect/accept/close run on the service thread; sendPacket on
// any thread. Fields read by another thread without a lock (next, hasChild,
// the ENet peer and its channel, the record's id) are atomics. The record
// is written by the host's thread (peer table, session reset) while the
// service thread reads it, so it is held under its own lock and handed out
// as a copy; no other lock is taken while that one is held (the overlay's
// lock order is in peer_client.h).

#ifndef TESSEL_OVERLAY_PEER_CONTEXT_H_
#define TESSEL_OVERLAY_PEER_CONTEXT_H_

#include <atomic>
#include <cstdint>

#include "tessel/overlay/enet_fwd.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/records/packet_def.h"
#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_mutex.h"

namespace zintar {

class PeerClient;
class PeerFanout;

class TESSEL_EXPORT PeerContext {
 public:
  static constexpr int MaxDataSize = PeerPacket::MaxDataSize;

  PeerContext();
  virtual ~PeerContext();

  PeerContext(const PeerContext&) = delete;
  PeerContext& operator=(const PeerContext&) = delete;

  // Stores the owner and its ENet host. Always 0.
  int init(PeerClient* owner, ENetHost* host);
  void deinit() {}

  // Service thread: opens the ENet connection to property's address with 32
  // channels. -1 when a connection exists already or ENet refuses.
  int connect();
  // Service thread: adopts an incoming, registered ENet peer. Always 0.
  int accept(ENetPeer* peer);
  // Service thread: adopts incoming when the record's id is claimed, all
  // under the record's lock so that no host-thread change of the record
  // or reset of the link comes between the check and the adoption. A link
  // that already holds a live connection gives it up only to one from the
  // same IPv4 address (the same member, restarted); the connection it gave
  // up is returned in replaced, for the caller to drop. False when the
  // link refuses: the caller drops incoming, and the link is untouched.
  bool adopt(ENetPeer* incoming, int32_t claimed, ENetPeer** replaced);
  // Drops the ENet connection (queued on the owner), keeping the record.
  void close();
  // Back to the empty state; owner and host are kept. True when a
  // connection was dropped; lost, when given, receives the record held
  // before, so that the caller can report the lost link.
  bool reinit(PacketDef::PeerProperty* lost = nullptr);

  // Queues packet on this link: length bytes, or size(true) when length is
  // 0. Dropped silently without a connection. With a fan-out, the send
  // joins the fan-out's (queued when it is flushed), sharing its ENet
  // packet with the other links that send the same bytes; without one it
  // is queued at once in an ENet packet of its own.
  void sendPacket(const PeerPacket* packet, bool reliable, unsigned int length, PeerFanout* fanout = nullptr);
  // ENet throttling on a connected peer: interval 5000 ms, acceleration 3,
  // deceleration 0, so that the link's window never narrows.
  void setThrottle();

  PacketDef::PeerProperty getPeerProperty() const;
  void setPeerProperty(const PacketDef::PeerProperty& record);
  // The record's id, read without the record's lock (every delivered
  // packet names its originator by it), and its slot.
  int32_t getPeerId() const { return peerId.load(std::memory_order_relaxed); }
  uint32_t getSlot() const;

  int32_t getNext() const { return next.load(std::memory_order_relaxed); }
  void setNext(int32_t slot) { next.store(slot, std::memory_order_relaxed); }
  bool isServer() const { return isServer_.load(std::memory_order_relaxed); }
  bool hasChild() const { return hasChild_.load(std::memory_order_relaxed); }
  void setParent() { hasChild_.store(true, std::memory_order_relaxed); }

  // Half the round trip ENet measures on the link, in milliseconds; 0
  // without a connection.
  unsigned short getPing() const;
  // The ENet peer, or null while the link is down.
  ENetPeer* getENetPeer() const { return peer.load(std::memory_order_acquire); }
  // The ENet channel the link sends on: the slot of its record, fixed when
  // the link comes up (connect, accept), so that sending reads no record.
  uint8_t getChannel() const { return channel.load(std::memory_order_relaxed); }

  // Service thread: where the answer to a pull from position starts, or
  // false when it waits. The first answer starts at the puller's position.
  // A pull that asks again for packets an earlier answer carried (it
  // crossed the answer, or the answer was lost) gets only the packets after
  // it when every answer since the last full one was reliable and so is
  // this one: ENet brings the earlier ones, in order. Otherwise it waits
  // until a resend is due (PullResendMs or twice the round trip have
  // passed, and ENet has sent what this link had queued) and is answered in
  // full again. A leaf that is behind on a slow or lossy link is thus not
  // sent the same packets at every pull, which would bury the link under
  // copies, and never sees a gap it cannot fill by pulling.
  bool pullStart(uint32_t& position, bool reliable, uint32_t nowMs);
  // Service thread: the answer just sent ended before position end.
  void pullAnswered(uint32_t end) {
    pullEnd = end;
    pullAnswered_ = true;
  }
  // The first position from position on that no answer on this link has
  // carried yet (service thread).
  uint32_t unsentFrom(uint32_t position) const {
    return pullAnswered_ && static_cast<int32_t>(pullEnd - position) > 0 ? pullEnd : position;
  }
  static constexpr uint32_t PullResendMs = 50;
  // However full ENet's queue to the leaf, a repeated pull is answered in
  // full again at the latest this long (or two round trips) after the last
  // full answer: a leaf that expects an answer to each pull never waits
  // without end.
  static constexpr uint32_t PullBacklogLimitMs = 200;

  // Keeps the block when length is 0..1478 and frameId is newer than the
  // stored block's.
  void setData(const char* block, int length, uint32_t frameId);
  const char* getData() const { return data; }
  // The stored block's length while connected, else 0.
  int getDataSize() const { return getENetPeer() != nullptr ? dataSize : 0; }

 private:
  PeerClient* owner;
  mutable KivMutex propertyLock;
  PacketDef::PeerProperty property GUARDED_BY(propertyLock);
  // property.id, written with it.
  std::atomic<int32_t> peerId;
  ENetHost* host;
  std::atomic<ENetPeer*> peer;
  // Written before peer is published and read after it is loaded.
  std::atomic<uint8_t> channel;
  std::atomic<int32_t> next;
  std::atomic<bool> isServer_;
  std::atomic<bool> hasChild_;
  uint32_t pullEnd;
  uint32_t pullResentAt;
  bool pullAnswered_;
  bool pullReliable;
  char data[MaxDataSize];
  int32_t dataSize;
  uint32_t dataFrameId;
};

}  // namespace zintar

#endif  // TESSEL_OVERLAY_PEER_CONTEXT_H_
