#include "tests/support/loopback_room.h"

#include <algorithm>

#include "tessel/planner/topology_description.h"
#include "tests/support/fake_root.h"
#include "tests/support/test_support.h"

namespace tessel_test {

std::string topologyDescription(int capacity, int maxDataSize, bool syncTime,
                                const std::vector<PacketDef::PeerProperty>& records,
                                const std::vector<int32_t>& parents) {
  zintar::TopologyDescription description;
  description.capacity = capacity;
  description.maxDataSize = maxDataSize;
  description.syncTime = syncTime;
  description.records = records;
  for (size_t slot = 0; slot < parents.size(); ++slot)
    if (parents[slot] >= 0) description.entries.push_back({int(slot), parents[slot], 10 + int32_t(slot)});
  return description.encode();
}

namespace {

// Sets engine up as the member in slot listening on port, with the room's
// description. False on the first step that fails.
bool setUpMember(zintar::Tessel& engine, int slot, int port, int mode, const std::string& description) {
  int32_t id = LoopbackRoom::FirstPeerId + slot;
  if (engine.init(id, port, true, mode, false, false) != 0) return false;
  engine.startSession();
  engine.setRoomId(1, 2);
  engine.addPeer(id, static_cast<unsigned char>(slot));
  engine.setPeerProperty(id, LoopbackRoom::Loopback, port, false, true);
  return engine.setTopology(description.data(), static_cast<int>(description.size())) == 0;
}

}  // namespace

PacketDef::PeerProperty memberRecord(int slot, int port) {
  return zintar::TopologyDescription::peerRecord(LoopbackRoom::FirstPeerId + slot, slot, LoopbackRoom::Loopback, port,
                                                 true, 1, 2);
}

std::unique_ptr<zintar::Tessel> makeMember(int slot, int port, bool syncTime,
                                           const std::vector<PacketDef::PeerProperty>& records,
                                           const std::vector<int32_t>& parents, int mode) {
  auto engine = std::make_unique<zintar::Tessel>();
  if (!setUpMember(*engine, slot, port, mode, topologyDescription(0, 0, syncTime, records, parents))) return nullptr;
  return engine;
}

LoopbackRoom::LoopbackRoom(std::vector<int32_t> parents, int mode, bool syncTime, int capacity, int maxDataSize)
    : parents_(std::move(parents)) {
  std::vector<PacketDef::PeerProperty> records;
  for (size_t slot = 0; slot < parents_.size(); ++slot) {
    ports_.push_back(freeUdpPort());
    records.push_back(memberRecord(int(slot), ports_.back()));
  }
  description_ = topologyDescription(capacity, maxDataSize, syncTime, records, parents_);
  for (size_t slot = 0; slot < parents_.size(); ++slot) {
    engines_.push_back(std::make_unique<zintar::Tessel>());
    setUpMember(*engines_.back(), int(slot), ports_[slot], mode, description_);
  }
}

bool LoopbackRoom::setRoomKey(const std::string& key) {
  for (auto& engine : engines_)
    if (engine->setRoomKey(reinterpret_cast<const unsigned char*>(key.data()), int(key.size())) != 0) return false;
  return true;
}

bool LoopbackRoom::connect(int timeoutMs) {
  // The root first, then every other member with a place in the tree.
  for (bool root : {true, false})
    for (size_t slot = 0; slot < parents_.size(); ++slot)
      if (parents_[slot] >= 0 && (parents_[slot] == int32_t(slot)) == root && engine(int(slot)).connect(timeoutMs) != 0)
        return false;
  // Wait until every parent holds the link its child opened.
  return waitFor(
      [&] {
        for (size_t slot = 0; slot < parents_.size(); ++slot) {
          int32_t parent = parents_[slot];
          if (parent >= 0 && parent != int32_t(slot) &&
              engine(parent).getClient().getContext(int32_t(slot))->getENetPeer() == nullptr)
            return false;
        }
        return true;
      },
      std::chrono::milliseconds(timeoutMs));
}

void LoopbackRoom::drain(int slot, std::vector<zintar::TesselJob>& jobs) {
  zintar::TesselJob job;
  while (engine(slot).popJob(job)) jobs.push_back(job);
}

bool LoopbackRoom::waitJobs(int slot, uint16_t type, size_t count, std::vector<zintar::TesselJob>& jobs,
                            int timeoutMs) {
  auto isType = [&](const zintar::TesselJob& job) { return job.getType() == type; };
  return waitFor(
      [&] {
        drain(slot, jobs);
        return size_t(std::count_if(jobs.begin(), jobs.end(), isType)) >= count;
      },
      std::chrono::milliseconds(timeoutMs));
}

}  // namespace tessel_test
