// A room of three engines on this machine in delivery mode 3: each member
// sends one ordered broadcast, and every member hands the three over in the
// same order. The root (slot 0) keeps the frame store that orders them;
// every member calls peekPacket regularly, as a host does once per frame:
// the root hands out its store, its two children pull it from the root.
// Clock synchronisation is on, so every message carries the frame id of
// the root's clock (10 ms frames) and its delay in frames.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tessel/planner/topology_description.h"
#include "tessel/toolkit/kiv_socket.h"

namespace {

constexpr int Members = 3;
constexpr int32_t FirstId = 200;
constexpr uint32_t Loopback = 0x7F000001;

// A UDP port that nothing holds right now, or -1.
int freePort() {
  KivSocket probe;
  return probe.udpListen(0) == 0 ? probe.getLocalPort() : -1;
}

}  // namespace

int main() {
  zintar::TesselApi members[Members];
  zintar::TopologyDescription topology;
  topology.capacity = 64;     // the frame store: 64 packets
  topology.maxDataSize = 64;  // of up to 64 bytes
  topology.syncTime = true;
  for (int slot = 0; slot < Members; ++slot) {
    const int port = freePort();
    if (members[slot].init(FirstId + slot, port, true, 3, false, false) != 0) return 1;
    members[slot].setRoomId(1, 1);
    members[slot].addPeer(FirstId + slot, static_cast<unsigned char>(slot));
    topology.addPeer(zintar::TopologyDescription::peerRecord(FirstId + slot, slot, Loopback, port, true, 1, 1), 0);
  }
  const std::string bytes = topology.encode();
  for (auto& member : members) {
    if (member.setTopology(bytes.data(), int(bytes.size())) != 0 || member.connect(5000) != 0) {
      std::fprintf(stderr, "connect failed, error 0x%X\n", unsigned(member.getError()));
      return 1;
    }
  }

  for (int slot = 0; slot < Members; ++slot) {
    const std::string text = "ordered broadcast from peer " + std::to_string(FirstId + slot);
    if (members[slot].castPacket(text.data(), int(text.size()) + 1, true, false) != 0) return 1;
  }

  // Every member pulls every 10 ms and pops its jobs until all hold three.
  std::vector<std::string> heard[Members];
  auto everyoneHeardAll = [&] {
    for (const auto& got : heard)
      if (got.size() < size_t(Members)) return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!everyoneHeardAll() && std::chrono::steady_clock::now() < deadline) {
    for (int slot = 0; slot < Members; ++slot) {
      members[slot].peekPacket(true);
      zintar::TesselJob job;
      while (members[slot].popJob(job)) {
        if (job.getType() != zintar::TesselJob::JobMessage) continue;
        heard[slot].push_back(job.getData());
        if (slot == 0)
          std::printf("root got \"%s\" (sent in frame %u, delay %u frames)\n", job.getData(),
                      unsigned(job.getFrameId()), unsigned(job.getPing()));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  for (int slot = 0; slot < Members; ++slot) {
    if (heard[slot] != heard[0] || heard[slot].size() != size_t(Members)) {
      std::fprintf(stderr, "peer %d heard %zu broadcasts, not the root's %d in its order\n", FirstId + slot,
                   heard[slot].size(), Members);
      return 1;
    }
  }
  std::printf("all %d members got the %d broadcasts once each, in the same order\n", Members, Members);
  return 0;
}
