#include "tests/support/fake_clock.h"

#include <atomic>

#include "tessel/toolkit/kiv_clock.h"

namespace tessel_test {

namespace {

std::atomic<uint64_t> tick{0};
std::atomic<int64_t> realTime{0};

uint64_t readTick() { return tick.load(); }
int64_t readRealTime() { return realTime.load(); }

const KivClock::Source fakeSource = {readTick, readRealTime};

}  // namespace

FakeClock::FakeClock(uint64_t tickMs, int64_t realTimeMs) {
  tick = tickMs;
  realTime = realTimeMs;
  KivClock::setSource(&fakeSource);
}

FakeClock::~FakeClock() { KivClock::setSource(nullptr); }

void FakeClock::advance(int64_t ms) {
  tick += static_cast<uint64_t>(ms);
  realTime += ms;
}

void FakeClock::setTick(uint64_t tickMs) { tick = tickMs; }

void FakeClock::setRealTime(int64_t realTimeMs) { realTime = realTimeMs; }

}  // namespace tessel_test
