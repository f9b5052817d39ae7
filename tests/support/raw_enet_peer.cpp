#include "tests/support/raw_enet_peer.h"

#include <chrono>
#include <cstring>

#include "tests/support/test_support.h"

namespace tessel_test {

RawENetPeer::RawENetPeer(const char* bindHost) {
  enet_initialize();
  ENetAddress local;
  local.port = 0;
  if (bindHost != nullptr) enet_address_set_host(&local, bindHost);
  host_ = enet_host_create(bindHost != nullptr ? &local : nullptr, 1, 32, 0, 0);
}

RawENetPeer::~RawENetPeer() {
  if (host_ != nullptr) enet_host_destroy(host_);
  enet_deinitialize();
}

bool RawENetPeer::connect(int port, size_t channels, int timeoutMs) {
  if (host_ == nullptr) return false;
  ENetAddress address;
  enet_address_set_host(&address, "127.0.0.1");
  address.port = static_cast<enet_uint16>(port);
  peer_ = enet_host_connect(host_, &address, channels, 0);
  if (peer_ == nullptr) return false;
  ENetEvent event;
  return waitFor([&] { return enet_host_service(host_, &event, 10) > 0 && event.type == ENET_EVENT_TYPE_CONNECT; },
                 std::chrono::milliseconds(timeoutMs));
}

void RawENetPeer::send(const void* bytes, size_t length, bool reliable, uint8_t channel) {
  if (peer_ == nullptr) return;
  ENetPacket* packet = enet_packet_create(bytes, length, reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (enet_peer_send(peer_, channel, packet) != 0) enet_packet_destroy(packet);
  enet_host_flush(host_);
}

std::vector<std::string> RawENetPeer::poll(int timeoutMs) {
  std::vector<std::string> received;
  ENetEvent event;
  waitFor(
      [&] {
        if (enet_host_service(host_, &event, 5) <= 0) return false;
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
          received.emplace_back(reinterpret_cast<const char*>(event.packet->data), event.packet->dataLength);
          enet_packet_destroy(event.packet);
        }
        disconnected_ = disconnected_ || event.type == ENET_EVENT_TYPE_DISCONNECT;
        return disconnected_;
      },
      std::chrono::milliseconds(timeoutMs));
  if (disconnected_) peer_ = nullptr;
  return received;
}

std::string wire(const zintar::PeerPacket& packet) {
  return std::string(reinterpret_cast<const char*>(&packet), size_t(packet.size(true)));
}

zintar::PeerPacket dataPacket(bool frame, int size, char fill) {
  zintar::PeerPacket packet(zintar::PeerPacket::Data, frame);
  packet.header().setDataSize(uint32_t(size));
  std::memset(packet.data(), fill, size_t(size));
  return packet;
}

std::string registerPacket(int32_t id, uint32_t slot) {
  uint32_t words[2] = {uint32_t(id), 1u | (2u << 10) | (slot << 24)};  // the id, then room (1, 2) and slot
  return wire(zintar::PeerPacket::control(zintar::PeerPacket::Register, false, slot, slot, words, sizeof(words)));
}

}  // namespace tessel_test
