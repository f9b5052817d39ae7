// LoopbackRoom: a room of real engines in one process, each with its own
// ENet host on a free 127.0.0.1 port, joined by a parent table through the
// same topology description a world server would send.

#ifndef TESSEL_TESTS_SUPPORT_LOOPBACK_ROOM_H_
#define TESSEL_TESTS_SUPPORT_LOOPBACK_ROOM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessel/engine/tessel.h"

namespace tessel_test {

// Topology description bytes: frame store capacity and data size, the
// synchronisation flag, the records, and an entry (slot, parents[slot],
// ping 10 + slot) for every slot whose parents[slot] is not negative.
std::string topologyDescription(int capacity, int maxDataSize, bool syncTime,
                                const std::vector<PacketDef::PeerProperty>& records,
                                const std::vector<int32_t>& parents);

class LoopbackRoom {
 public:
  static constexpr int32_t FirstPeerId = 100;
  static constexpr uint32_t Loopback = 0x7F000001;

  // parents[s]: parent slot of slot s (s itself for the root). Peer ids are
  // FirstPeerId + slot.
  explicit LoopbackRoom(std::vector<int32_t> parents, int mode = 0, bool syncTime = false,
                        int capacity = 256, int maxDataSize = 1478);

  // Gives every engine the room key (32 bytes). False when one refuses it.
  bool setRoomKey(const std::string& key);
  // Connects every engine (root first) and waits until every parent has
  // adopted each child's link. False on any failure.
  bool connect(int timeoutMs = 5000);

  zintar::Tessel& engine(int slot) { return *engines_[size_t(slot)]; }
  int size() const { return static_cast<int>(engines_.size()); }
  int32_t peerId(int slot) const { return FirstPeerId + slot; }
  int port(int slot) const { return ports_[size_t(slot)]; }
  // The topology description every engine was given.
  const std::string& description() const { return description_; }

  // Pops every job of slot's engine into jobs (appending).
  void drain(int slot, std::vector<zintar::TesselJob>& jobs);
  // Waits until slot's engine holds count jobs of type, popping them into
  // jobs. False on timeout.
  bool waitJobs(int slot, uint16_t type, size_t count, std::vector<zintar::TesselJob>& jobs,
                int timeoutMs = 5000);

 private:
  std::vector<int32_t> parents_;
  std::vector<int> ports_;
  std::vector<std::unique_ptr<zintar::Tessel>> engines_;
  std::string description_;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_LOOPBACK_ROOM_H_
