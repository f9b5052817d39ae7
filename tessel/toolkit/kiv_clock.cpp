#include "tessel/toolkit/kiv_clock.h"

#include <atomic>

#include "tessel/toolkit/kiv_platform.h"

namespace {

std::atomic<const KivClock::Source*> overrideSource{nullptr};

}  // namespace

uint32_t KivClock::getTickCount() {
  const Source* source = overrideSource.load(std::memory_order_acquire);
  uint64_t ms = source != nullptr ? source->monotonicMs() : kiv_platform::monotonicMs();
  return static_cast<uint32_t>(ms);
}

int64_t KivClock::getRealTimeMs() {
  const Source* source = overrideSource.load(std::memory_order_acquire);
  return source != nullptr ? source->realTimeMs() : kiv_platform::realTimeMs();
}

int32_t KivClock::getTime32() {
  int64_t seconds;
  uint16_t milliseconds;
  getTime(seconds, milliseconds);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(seconds)));
}

void KivClock::getTime(int64_t& seconds, uint16_t& milliseconds) {
  int64_t now = getRealTimeMs();
  // Floor division, so that times before 1970 keep milliseconds in 0..999.
  seconds = now / 1000;
  int64_t rest = now % 1000;
  if (rest < 0) {
    rest += 1000;
    --seconds;
  }
  milliseconds = static_cast<uint16_t>(rest);
}

bool KivClock::toLocalTime(int64_t seconds, std::tm& out) { return kiv_platform::localTime(seconds, out); }

void KivClock::setSource(const Source* source) { overrideSource.store(source, std::memory_order_release); }
