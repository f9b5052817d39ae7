#include "tessel/overlay/short_exchange.h"

#include <enet/enet.h>

namespace zintar {

ShortExchange::~ShortExchange() { close(); }

ShortExchange::Opened ShortExchange::open(uint32_t ip, uint16_t port, uint32_t waitMs) {
  close();
  waitMs_ = waitMs;
  host_ = enet_host_create(nullptr, 1, 1, 0, 0);
  if (host_ == nullptr) return Opened::NoHost;
  ENetAddress address;
  // Records hold host-order numbers; ENet wants network order.
  address.host = ENET_HOST_TO_NET_32(ip);
  address.port = port;
  peer_ = enet_host_connect(host_, &address, 1, 0);
  if (peer_ == nullptr) {
    close();
    return Opened::NoHost;
  }
  ENetEvent event{};
  if (enet_host_service(host_, &event, waitMs_) <= 0 || event.type != ENET_EVENT_TYPE_CONNECT) {
    if (event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
    enet_peer_disconnect_now(peer_, 0);
    peer_ = nullptr;
    close();
    return Opened::NoConnection;
  }
  return Opened::Connected;
}

ShortExchange::Answer ShortExchange::ask(const PeerPacket& request, PeerPacket& reply) {
  if (peer_ == nullptr) return Answer::NotSent;
  ENetPacket* outgoing = enet_packet_create(&request, size_t(request.size(true)), 0);
  if (outgoing == nullptr) return Answer::NotSent;
  if (enet_peer_send(peer_, 0, outgoing) != 0) enet_packet_destroy(outgoing);
  ENetEvent event{};
  if (enet_host_service(host_, &event, waitMs_) <= 0 || event.type != ENET_EVENT_TYPE_RECEIVE) return Answer::None;
  bool whole = PeerPacket::fromWire(event.packet->data, event.packet->dataLength, reply) > 0;
  enet_packet_destroy(event.packet);
  return whole ? Answer::Whole : Answer::Unreadable;
}

void ShortExchange::close() {
  if (peer_ != nullptr) {
    enet_peer_disconnect(peer_, 0);
    bool disconnected = false;
    ENetEvent event{};
    while (enet_host_service(host_, &event, waitMs_) > 0) {
      if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
        disconnected = true;
      } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
        enet_packet_destroy(event.packet);
      }
    }
    if (!disconnected) enet_peer_reset(peer_);
    peer_ = nullptr;
  }
  if (host_ != nullptr) {
    enet_host_destroy(host_);
    host_ = nullptr;
  }
}

}  // namespace zintar
