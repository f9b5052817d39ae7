#include "tests/support/datagram_dropper.h"

#include <atomic>

namespace tessel_test {

namespace {

std::atomic<DatagramDropper*> active{nullptr};

}  // namespace

DatagramDropper::DatagramDropper(uint32_t seed, int percent) : generator_(seed), percent_(percent) {
  active.store(this);
}

DatagramDropper::~DatagramDropper() {
  DatagramDropper* self = this;
  active.compare_exchange_strong(self, nullptr);
}

int DatagramDropper::intercept(ENetHost* /*host*/, ENetEvent* /*event*/) {
  DatagramDropper* dropper = active.load();
  if (dropper == nullptr) return 0;
  std::lock_guard<std::mutex> guard(dropper->mutex_);
  bool drop = int(dropper->generator_() % 100u) < dropper->percent_;
  dropper->dropped_ += drop ? 1 : 0;
  return drop ? 1 : 0;
}

size_t DatagramDropper::dropped() {
  std::lock_guard<std::mutex> guard(mutex_);
  return dropped_;
}

}  // namespace tessel_test
