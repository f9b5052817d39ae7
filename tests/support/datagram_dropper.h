// DatagramDropper: loss injected through ENet's intercept hook. Installed
// on a PeerClient (setIntercept(DatagramDropper::intercept)), it swallows
// a fixed share of the datagrams that reach that client's ENet host. The
// choice comes from one seeded generator behind a mutex, so the service
// threads of several engines may ask at once and a given order of
// arrivals always loses the same datagrams.
//
// One dropper is active at a time: the newest one constructed. Destroy it
// only after the engines it was installed on (declare it before them).

#ifndef TESSEL_TESTS_SUPPORT_DATAGRAM_DROPPER_H_
#define TESSEL_TESTS_SUPPORT_DATAGRAM_DROPPER_H_

#include <enet/enet.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>

namespace tessel_test {

class DatagramDropper {
 public:
  // Drops percent of every 100 datagrams on average, chosen by seed.
  DatagramDropper(uint32_t seed, int percent);
  ~DatagramDropper();

  // The hook: 1 (swallow) or 0 (let ENet handle the datagram).
  static int intercept(ENetHost* host, ENetEvent* event);

  size_t dropped();

 private:
  std::mutex mutex_;
  std::mt19937 generator_;
  int percent_;
  size_t dropped_ = 0;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_DATAGRAM_DROPPER_H_
