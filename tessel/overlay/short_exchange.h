// ShortExchange: a short-lived ENet connection of its own to one peer's
// overlay port, for the exchanges that are not a link: the peer ping test
// and time synchronisation. It connects, asks and reads answers one at a
// time, then closes gracefully so that the peer does not keep a dead ENet
// peer until its time-out. Everything runs on the calling thread; the
// overlay's own host and service thread are not involved.
//
// In a room with a key the connection first runs the key's handshake
// (RoomKey) and every request and answer is sealed.
//
// Lifecycle: open, any number of ask, close (also run by the destructor).

#ifndef TESSEL_OVERLAY_SHORT_EXCHANGE_H_
#define TESSEL_OVERLAY_SHORT_EXCHANGE_H_

#include <cstdint>

#include "tessel/overlay/enet_fwd.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/overlay/room_key.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT ShortExchange {
 public:
  enum class Opened { Connected, NoHost, NoConnection };
  enum class Answer { Whole, Unreadable, None, NotSent };

  ShortExchange() = default;
  virtual ~ShortExchange();
  ShortExchange(const ShortExchange&) = delete;
  ShortExchange& operator=(const ShortExchange&) = delete;

  // Creates a host of one peer and one channel and connects it to ip (host
  // order) and port, waiting at most waitMs (also the wait of every later
  // step); with key (RoomKey::KeySize bytes), the key's handshake follows.
  // NoHost: no host or no peer could be created; NoConnection: the peer
  // did not accept in time, or failed the handshake.
  Opened open(uint32_t ip, uint16_t port, uint32_t waitMs, const unsigned char* key = nullptr);
  // Sends request unreliably on channel 0 and waits for the next packet to
  // arrive. Whole: reply holds it; Unreadable: something arrived that is
  // not a whole packet (or, with a key, does not open); None: nothing came
  // in time; NotSent: no ENet packet could be made.
  Answer ask(const PeerPacket& request, PeerPacket& reply);
  // Closes gracefully, waiting while events keep coming for the peer's
  // acknowledgement and cutting the connection if it never comes, and
  // destroys the host. Harmless when nothing is open.
  void close();
  // Received packets the room key turned away since construction: a
  // failed handshake, and answers that did not open.
  uint64_t getRejected() const { return rejected_; }

 private:
  // The key's handshake on the new connection; false when it fails or
  // stalls.
  bool runHandshake(const unsigned char* key);

  ENetHost* host_ = nullptr;
  ENetPeer* peer_ = nullptr;
  uint32_t waitMs_ = 0;
  RoomKey key_;
  uint64_t rejected_ = 0;
};

}  // namespace zintar

#endif  // TESSEL_OVERLAY_SHORT_EXCHANGE_H_
