// OverlayCallbacks: the only way the overlay reaches the layer above it
// (the engine). The owner fills it before PeerClient::init; each pointer
// may be null, and context is handed back unchanged in every call.
//
// Threads: the message, disconnect, ping and error callbacks come from the
// service thread and from the host's thread (the local delivery of its own
// broadcasts); setError from the host's thread, inside connect. The owner
// must take them from both.

#ifndef TESSEL_OVERLAY_OVERLAY_CALLBACKS_H_
#define TESSEL_OVERLAY_OVERLAY_CALLBACKS_H_

#include <cstdint>

#include "tessel/overlay/peer_packet.h"

namespace zintar {

struct OverlayCallbacks {
  void* context = nullptr;
  // A Direct or Data packet delivered here; peerId is its originator's.
  void (*gotMessage)(void* context, int32_t peerId, const PeerPacket& packet) = nullptr;
  // The root answered a ping: the round trip in milliseconds.
  void (*gotPingPong)(void* context, int32_t peerId, int16_t roundTrip) = nullptr;
  // A Disconnect packet: its payload is the record of the peer lost.
  void (*gotDisconnect)(void* context, const PeerPacket& packet) = nullptr;
  // An Error packet from a member: its code.
  void (*gotError)(void* context, int32_t peerId, uint32_t code) = nullptr;
  // Why an operation of the overlay failed (ErrorCode).
  void (*setError)(void* context, uint32_t code) = nullptr;
};

}  // namespace zintar

#endif  // TESSEL_OVERLAY_OVERLAY_CALLBACKS_H_
