// FakeClock replaces the library's clock for the lifetime of the object:
// both the tick count and the wall clock stand still until a test moves
// them. One at a time per process.

#ifndef TESSEL_TESTS_SUPPORT_FAKE_CLOCK_H_
#define TESSEL_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <cstdint>

namespace tessel_test {

class FakeClock {
 public:
  // Starts at the given tick count and wall-clock milliseconds since 1970.
  explicit FakeClock(uint64_t tickMs = 1000, int64_t realTimeMs = 1767225600000);  // 2026-01-01 UTC
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  // Moves both clocks forward (or back) by ms.
  void advance(int64_t ms);
  void setTick(uint64_t tickMs);
  void setRealTime(int64_t realTimeMs);
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_FAKE_CLOCK_H_
