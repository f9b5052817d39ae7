#include "tests/support/fake_root.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "tessel/overlay/peer_packet.h"
#include "tessel/toolkit/kiv_net_time.h"

namespace tessel_test {

namespace {

// Adds ms to the big-endian timestamp (seconds, milliseconds) at offset of
// a time packet.
void shiftStamp(unsigned char* packet, int offset, int64_t ms) {
  uint32_t words[2];
  std::memcpy(words, packet + offset, sizeof(words));
  int64_t total = int64_t(ntohl(words[0])) * 1000 + ntohl(words[1]) + ms;
  words[0] = htonl(uint32_t(total / 1000));
  words[1] = htonl(uint32_t(total % 1000));
  std::memcpy(packet + offset, words, sizeof(words));
}

}  // namespace

FakeRoot::FakeRoot(Responder responder) : responder_(std::move(responder)) {
  enet_initialize();
  ENetAddress address;
  enet_address_set_host(&address, "127.0.0.1");
  address.port = 0;  // ENet reads back the port the system picks
  host_ = enet_host_create(&address, 32, 32, 0, 0);
  if (host_ == nullptr) return;
  port_ = host_->address.port;
  thread_ = std::thread(&FakeRoot::run, this);
}

FakeRoot::~FakeRoot() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (host_ != nullptr) enet_host_destroy(host_);
  enet_deinitialize();
}

std::vector<FakeRoot::Received> FakeRoot::received() {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

size_t FakeRoot::count(uint32_t type) {
  std::lock_guard<std::mutex> guard(mutex_);
  return size_t(std::count_if(received_.begin(), received_.end(), [&](const Received& packet) {
    return !packet.bytes.empty() && (static_cast<uint8_t>(packet.bytes[0]) & 0x3Fu) == type;
  }));
}

void FakeRoot::run() {
  ENetEvent event;
  while (!stop_) {
    if (enet_host_service(host_, &event, 5) <= 0 || event.type != ENET_EVENT_TYPE_RECEIVE) continue;
    Received packet{std::string(reinterpret_cast<const char*>(event.packet->data), event.packet->dataLength),
                    (event.packet->flags & ENET_PACKET_FLAG_RELIABLE) != 0};
    enet_packet_destroy(event.packet);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      received_.push_back(packet);
    }
    Answer answer = responder_(packet);
    if (answer.bytes.empty()) continue;
    ENetPacket* out = enet_packet_create(answer.bytes.data(), answer.bytes.size(),
                                         answer.reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (enet_peer_send(event.peer, 0, out) != 0) enet_packet_destroy(out);
    enet_host_flush(host_);
  }
}

FakeRoot::Responder timeAnswers(std::vector<std::optional<int>> shifts, uint32_t minor) {
  auto next = std::make_shared<size_t>(0);
  return [shifts, minor, next](const FakeRoot::Received& in) {
    FakeRoot::Answer answer;
    zintar::PeerPacket request;
    if (zintar::PeerPacket::fromWire(in.bytes.data(), in.bytes.size(), request) < 0 ||
        request.header().type() != zintar::PeerPacket::TimeSync || request.header().dataSize() < 48)
      return answer;
    std::optional<int> shift = *next < shifts.size() ? shifts[*next] : shifts.back();
    ++*next;
    if (!shift) return answer;
    zintar::PeerPacket reply(zintar::PeerPacket::TimeSync, false);
    reply.header().setDataSize(52);
    auto* payload = reinterpret_cast<unsigned char*>(reply.data());
    KivNetTime::respond(reinterpret_cast<unsigned char*>(request.data()), payload);
    shiftStamp(payload, 32, -*shift);  // receive
    shiftStamp(payload, 40, -*shift);  // transmit
    uint32_t room = 1u | minor << 10;  // slot 0
    std::memcpy(payload + 48, &room, 4);
    answer.bytes.assign(reinterpret_cast<const char*>(&reply), size_t(reply.size(true)));
    return answer;
  };
}

}  // namespace tessel_test
