#include "bench/tessel_room.h"

#include <chrono>
#include <thread>

#include "tessel/engine/tessel.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

namespace tessel_bench {

namespace {

constexpr int16_t RoomMajor = 1;
constexpr int16_t RoomMinor = 2;
constexpr uint32_t Loopback = 0x7F000001;

}  // namespace

TesselRoom::TesselRoom(const std::vector<int32_t>& parents, const std::vector<int>& ports,
                       const std::vector<bool>& local, int mode, int capacity)
    : parents_(parents), ports_(ports), local_(local) {
  build(mode, capacity);
}

TesselRoom::TesselRoom(const std::vector<int32_t>& parents, int mode, int capacity, bool keyed)
    : parents_(parents), ports_(parents.size(), 0), local_(parents.size(), true) {
  build(mode, capacity, keyed);
}

std::vector<int32_t> TesselRoom::star(int count) {
  return std::vector<int32_t>(size_t(count), 0);
}

void TesselRoom::build(int mode, int capacity, bool keyed) {
  const std::string key(32, 'k');
  // Every local engine is bound first. A port of 0 is picked free just
  // before its engine binds it, and picked again should someone else take
  // it in between (other programs on this machine bind ports too).
  for (size_t slot = 0; slot < parents_.size(); ++slot) {
    apis_.emplace_back();
    if (!local_[slot]) continue;
    bool pick = ports_[slot] == 0;
    for (int attempt = 0; attempt < (pick ? BindAttempts : 1) && !apis_.back(); ++attempt) {
      if (pick) ports_[slot] = tessel_test::freeUdpPort();
      auto api = std::make_unique<zintar::TesselApi>();
      if (api->init(id(int(slot)), ports_[slot], true, mode, false, false) == 0) apis_.back() = std::move(api);
    }
    if (!apis_.back()) {
      ok_ = false;
      return;
    }
  }
  std::vector<PacketDef::PeerProperty> records;
  for (size_t slot = 0; slot < parents_.size(); ++slot) {
    PacketDef::PeerProperty record;
    record.id = id(int(slot));
    record.roomId.setMajor(RoomMajor);
    record.roomId.setMinor(RoomMinor);
    record.roomId.setSlot(uint32_t(slot));
    record.ip = Loopback;
    record.port = static_cast<uint16_t>(ports_[slot]);
    record.listen = 1;
    records.push_back(record);
  }
  description_ = tessel_test::topologyDescription(capacity, 1478, false, records, parents_);
  for (size_t slot = 0; slot < parents_.size(); ++slot) {
    if (!local_[slot]) continue;
    zintar::TesselApi& engine = *apis_[slot];
    engine.startSession();
    ok_ = ok_ && engine.setRoomId(RoomMajor, RoomMinor) == 0;
    if (keyed) ok_ = ok_ && engine.setRoomKey(reinterpret_cast<const unsigned char*>(key.data()), 32) == 0;
    for (size_t other = 0; other < parents_.size(); ++other) {
      ok_ = ok_ && engine.addPeer(id(int(other)), static_cast<unsigned char>(other)) == 0;
      ok_ = ok_ && engine.setPeerProperty(id(int(other)), Loopback, ports_[other], false, true) == 0;
    }
    ok_ = ok_ && engine.setTopology(description_.data(), static_cast<int>(description_.size())) == 0;
  }
}

bool TesselRoom::connect(int timeoutMs, bool waitForLinks) {
  if (!ok_) return false;
  for (size_t slot = 0; slot < parents_.size(); ++slot)
    if (local_[slot] && parents_[slot] == int32_t(slot) && apis_[slot]->connect(timeoutMs) != 0) return false;
  for (size_t slot = 0; slot < parents_.size(); ++slot)
    if (local_[slot] && parents_[slot] != int32_t(slot) && apis_[slot]->connect(timeoutMs) != 0) return false;
  if (!waitForLinks) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool linked = true;
    for (size_t slot = 0; slot < parents_.size() && linked; ++slot) {
      int32_t parent = parents_[slot];
      if (parent == int32_t(slot) || !local_[size_t(parent)]) continue;
      const zintar::PeerContext* link = apis_[size_t(parent)]->getEngine()->getClient().getContext(int32_t(slot));
      linked = link != nullptr && link->getENetPeer() != nullptr;
    }
    if (linked) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace tessel_bench
