#include "tessel/overlay/short_exchange.h"

#include <enet/enet.h>

namespace zintar {

namespace {

// The handshake takes two messages from the other end (its Hello and its
// Proof); a few more events leave room for ENet's own.
constexpr int HandshakeEvents = 4;

void sendReliably(ENetPeer* peer, const uint8_t* bytes, size_t length) {
  ENetPacket* packet = enet_packet_create(bytes, length, ENET_PACKET_FLAG_RELIABLE);
  if (packet != nullptr && enet_peer_send(peer, 0, packet) != 0) enet_packet_destroy(packet);
}

}  // namespace

ShortExchange::~ShortExchange() { close(); }

ShortExchange::Opened ShortExchange::open(uint32_t ip, uint16_t port, uint32_t waitMs, const unsigned char* key) {
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
  bool connected = enet_host_service(host_, &event, waitMs_) > 0 && event.type == ENET_EVENT_TYPE_CONNECT;
  if (!connected && event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
  if (!connected || (key != nullptr && !runHandshake(key))) {
    enet_peer_disconnect_now(peer_, 0);
    peer_ = nullptr;
    close();
    return Opened::NoConnection;
  }
  return Opened::Connected;
}

bool ShortExchange::runHandshake(const unsigned char* key) {
  uint8_t message[RoomKey::HandshakeSize];
  if (!key_.begin(key, RoomKey::Role::Opener, message)) return false;
  sendReliably(peer_, message, sizeof(message));
  for (int events = 0; events < HandshakeEvents; ++events) {
    ENetEvent event{};
    if (enet_host_service(host_, &event, waitMs_) <= 0) return false;
    if (event.type == ENET_EVENT_TYPE_DISCONNECT) return false;
    if (event.type != ENET_EVENT_TYPE_RECEIVE) continue;
    size_t replyLength = 0;
    RoomKey::Step step = key_.handshake(event.packet->data, event.packet->dataLength, message, replyLength);
    enet_packet_destroy(event.packet);
    if (replyLength > 0) sendReliably(peer_, message, replyLength);
    if (step == RoomKey::Step::Failed) ++rejected_;
    if (step != RoomKey::Step::Waiting) return step == RoomKey::Step::Established;
  }
  return false;
}

ShortExchange::Answer ShortExchange::ask(const PeerPacket& request, PeerPacket& reply) {
  if (peer_ == nullptr) return Answer::NotSent;
  const bool keyed = key_.established();
  const auto length = size_t(request.size(true));
  ENetPacket* outgoing =
      enet_packet_create(keyed ? nullptr : &request, length + (keyed ? RoomKey::SealOverhead : 0), 0);
  if (outgoing == nullptr) return Answer::NotSent;
  if (keyed) key_.seal(&request, length, outgoing->data);
  if (enet_peer_send(peer_, 0, outgoing) != 0) enet_packet_destroy(outgoing);
  ENetEvent event{};
  if (enet_host_service(host_, &event, waitMs_) <= 0 || event.type != ENET_EVENT_TYPE_RECEIVE) return Answer::None;
  const uint8_t* bytes = event.packet->data;
  size_t received = event.packet->dataLength;
  uint8_t plain[RoomKey::MaxPlainSize];
  bool whole = false;
  if (keyed) {
    int opened = key_.open(bytes, received, plain);
    rejected_ += opened < 0 ? 1 : 0;
    whole = opened >= 0 && PeerPacket::fromWire(plain, size_t(opened), reply) > 0;
  } else {
    whole = PeerPacket::fromWire(bytes, received, reply) > 0;
  }
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
  key_.clear();
}

}  // namespace zintar
