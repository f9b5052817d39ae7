// PeerFanout gathers the sends of one overlay packet to one or more links
// (a broadcast, its relay, a forward) and queues them on the owner's send
// queue in one piece, so that the service thread carries them out in one
// drain, and so that a broadcast wakes the service thread at most once.
//
// Links that send the packet's bytes as they are share one ENet packet:
// each enet_peer_send takes a reference, ENet frees the packet once the
// last link holding it is done with it, and the drain frees it at once
// when no link took it. A link that needs bytes of its own adds an ENet
// packet of its own instead, which the drain frees when ENet refuses it.
//
// On the service thread, a fan-out made for a received ENet event may send
// on the received ENet packet itself (its bytes overwritten with the
// packet's as forwarded: the same length, the same flags), so that the
// forward path allocates nothing: the dispatch then leaves the received
// packet to the send queue instead of destroying it.
//
// Threads: a fan-out lives on the stack of the thread that sends, and is
// used by it alone. Lifecycle: construct, share/add for each link, flush
// (the destructor flushes what is left).

#ifndef TESSEL_OVERLAY_PEER_FANOUT_H_
#define TESSEL_OVERLAY_PEER_FANOUT_H_

#include <cstddef>
#include <cstdint>

#include "tessel/overlay/enet_fwd.h"
#include "tessel/overlay/peer_client.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT PeerFanout {
 public:
  // received: the event whose packet is being dispatched, whose ENet packet
  // the fan-out may send on; null when there is none.
  explicit PeerFanout(PeerClient& owner, const ENetEvent* received = nullptr);
  ~PeerFanout();

  PeerFanout(const PeerFanout&) = delete;
  PeerFanout& operator=(const PeerFanout&) = delete;

  // The ENet packet that the links of this fan-out share: length bytes
  // from bytes with the ENet flags given, made (or taken over from the
  // received event) at the first call; every later call, which must pass
  // the same bytes, gets the same packet. Null when ENet cannot create it.
  ENetPacket* share(const void* bytes, size_t length, uint32_t flags);
  // A send of packet to peer on channel: the shared packet (shared true)
  // or one that belongs to this send alone. Sends beyond one per slot are
  // dropped (a walk over the links never makes more), freeing a packet of
  // its own.
  void add(ENetPeer* peer, uint8_t channel, ENetPacket* packet, bool shared);
  // Queues the sends added so far on the owner in one piece, followed by
  // the release of the shared packet; the fan-out starts empty again.
  void flush();

 private:
  PeerClient& owner;
  const ENetEvent* received;
  ENetPacket* shared;
  int sharedSends;
  int count;
  // One send per slot, and the release of the shared packet. Left
  // uninitialised (a fan-out is made for every packet sent or forwarded):
  // each entry is written whole before it is read.
  union {
    PeerClient::ENetSendPacket commands[PeerClient::MaxSlots + 1];
  };
};

}  // namespace zintar

#endif  // TESSEL_OVERLAY_PEER_FANOUT_H_
