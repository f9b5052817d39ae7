#include "tests/support/fake_root.h"

#include "tessel/planner/topology_description.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

namespace tessel_test {

FakeRoot::FakeRoot(Responder responder) : responder_(std::move(responder)) {
  enet_initialize();
  ENetAddress address;
  enet_address_set_host(&address, "127.0.0.1");
  // A port found free may be taken before we bind it; try a few.
  for (int attempt = 0; attempt < 5 && host_ == nullptr; ++attempt) {
    port_ = freeUdpPort();
    address.port = static_cast<enet_uint16>(port_);
    host_ = enet_host_create(&address, 32, 32, 0, 0);
  }
  if (host_ != nullptr) thread_ = std::thread(&FakeRoot::run, this);
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
  size_t n = 0;
  for (const auto& packet : received_)
    n += !packet.bytes.empty() && (static_cast<uint8_t>(packet.bytes[0]) & 0x3Fu) == type ? 1 : 0;
  return n;
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
    if (!responder_) continue;
    Answer answer = responder_(packet);
    if (answer.bytes.empty()) continue;
    ENetPacket* out = enet_packet_create(answer.bytes.data(), answer.bytes.size(),
                                         answer.reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (enet_peer_send(event.peer, 0, out) != 0) enet_packet_destroy(out);
    enet_host_flush(host_);
  }
}

PacketDef::PeerProperty memberRecord(int slot, int port) {
  return zintar::TopologyDescription::peerRecord(LoopbackRoom::FirstPeerId + slot, slot, LoopbackRoom::Loopback, port,
                                                 true, 1, 2);
}

std::unique_ptr<zintar::Tessel> makeMember(int slot, int port, bool syncTime,
                                           const std::vector<PacketDef::PeerProperty>& records,
                                           const std::vector<int32_t>& parents, int mode) {
  auto engine = std::make_unique<zintar::Tessel>();
  int32_t id = LoopbackRoom::FirstPeerId + slot;
  if (engine->init(id, port, true, mode, false, false) != 0) return nullptr;
  engine->startSession();
  engine->setRoomId(1, 2);
  engine->addPeer(id, static_cast<unsigned char>(slot));
  engine->setPeerProperty(id, LoopbackRoom::Loopback, port, false, true);
  std::string description = topologyDescription(0, 0, syncTime, records, parents);
  if (engine->setTopology(description.data(), static_cast<int>(description.size())) != 0) return nullptr;
  return engine;
}

}  // namespace tessel_test
