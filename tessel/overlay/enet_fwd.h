// Forward declarations of the ENet types that overlay headers mention, so
// that a host application including them does not need ENet's headers. The
// typedefs match ENet's own, which C++ allows to be repeated.

#ifndef TESSEL_OVERLAY_ENET_FWD_H_
#define TESSEL_OVERLAY_ENET_FWD_H_

typedef struct _ENetHost ENetHost;
typedef struct _ENetPeer ENetPeer;
typedef struct _ENetPacket ENetPacket;
typedef struct _ENetEvent ENetEvent;

#endif  // TESSEL_OVERLAY_ENET_FWD_H_
