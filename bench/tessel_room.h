// TesselRoom: engines of one room on 127.0.0.1 driven through TesselApi, as
// host applications drive them: each engine learns every member's record
// and the tree from one topology description, then connects, root first.
//
// A room may hold only some of its slots in this process (the relay figure
// runs the root in a child process): the others are described but not
// created. Application thread only.

#ifndef TESSEL_BENCH_TESSEL_ROOM_H_
#define TESSEL_BENCH_TESSEL_ROOM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessel/engine/tessel_api.h"

namespace tessel_bench {

class TesselRoom {
 public:
  static constexpr int32_t FirstPeerId = 100;
  // How often a free port is picked for an engine whose bind fails.
  static constexpr int BindAttempts = 5;

  // parents[s]: the parent slot of slot s (s itself for the root). ports[s]:
  // the port of slot s, 0 for one picked free here. local[s]: slot s runs
  // here. mode: the delivery mode of every local engine. capacity: the
  // frame store's packets.
  TesselRoom(const std::vector<int32_t>& parents, const std::vector<int>& ports, const std::vector<bool>& local,
             int mode, int capacity = 1024);
  // Every slot local, each on a port picked free as its engine binds it;
  // with keyed, every engine holds the same room key.
  TesselRoom(const std::vector<int32_t>& parents, int mode, int capacity = 1024, bool keyed = false);

  // Connects the local engines, root first, and (when waitForLinks) waits
  // until every local parent holds the link of each of its children.
  // false on failure.
  bool connect(int timeoutMs = 10000, bool waitForLinks = true);

  zintar::TesselApi& api(int slot) { return *apis_[size_t(slot)]; }
  int32_t id(int slot) const { return FirstPeerId + slot; }
  int size() const { return static_cast<int>(parents_.size()); }
  bool ok() const { return ok_; }

  // A star of count slots: slot 0 is the root and every other its child.
  static std::vector<int32_t> star(int count);

 private:
  void build(int mode, int capacity, bool keyed = false);

  std::vector<int32_t> parents_;
  std::vector<int> ports_;
  std::vector<bool> local_;
  std::vector<std::unique_ptr<zintar::TesselApi>> apis_;
  std::string description_;
  bool ok_ = true;
};

}  // namespace tessel_bench

#endif  // TESSEL_BENCH_TESSEL_ROOM_H_
