// KivClock is the library's one source of time: the millisecond tick count
// used to time probes, and the wall clock behind time packets, frame ids,
// registry stamps and log dates. Everything that reads a clock reads it
// here, so that tests can replace the source and drive offsets, frame ids
// and dates with fixed times instead of sleeps.
//
// Any thread may read the clock. setSource() is meant for tests: it swaps
// the source atomically, and the source's functions must themselves be
// safe to call from any thread.

#ifndef TESSEL_TOOLKIT_KIV_CLOCK_H_
#define TESSEL_TOOLKIT_KIV_CLOCK_H_

#include <cstdint>
#include <ctime>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivClock {
 public:
  // A replacement for the system clocks.
  struct Source {
    // Milliseconds on a clock that never steps backwards.
    uint64_t (*monotonicMs)();
    // Milliseconds since 1 January 1970 UTC.
    int64_t (*realTimeMs)();
  };

  // Milliseconds on the monotonic clock truncated to 32 bits; wraps every
  // 49.7 days, so intervals are the signed difference of two readings.
  static uint32_t getTickCount();
  // Milliseconds since 1 January 1970 UTC.
  static int64_t getRealTimeMs();
  // Seconds since 1 January 1970 UTC truncated to 32 bits.
  static int32_t getTime32();
  // Wall clock as seconds since 1970 and milliseconds 0..999.
  static void getTime(int64_t& seconds, uint16_t& milliseconds);
  // Broken-down local time of a seconds value; false when it cannot be
  // converted.
  static bool toLocalTime(int64_t seconds, std::tm& out);

  // Installs source (the caller keeps it alive) or, with null, restores the
  // system clocks.
  static void setSource(const Source* source);
};

#endif  // TESSEL_TOOLKIT_KIV_CLOCK_H_
