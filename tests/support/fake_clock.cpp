#include "tests/support/fake_clock.h"

#include <atomic>

#include "tessel/toolkit/kiv_clock.h"

namespace tessel_test {

namespace {

std::atomic<uint64_t> tick{0};
std::atomic<int64_t> realTime{0};

const KivClock::Source fakeSource = {[] { return tick.load(); }, [] { return realTime.load(); }};

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
