// Internal: the operating-system calls behind the toolkit, one body per
// platform (kiv_platform_posix.cpp here). Not installed for hosts to use;
// only tessel/toolkit includes it.

#ifndef TESSEL_TOOLKIT_KIV_PLATFORM_H_
#define TESSEL_TOOLKIT_KIV_PLATFORM_H_

#include <cstdint>
#include <ctime>

namespace kiv_platform {

// Milliseconds on the monotonic clock.
uint64_t monotonicMs();
// Milliseconds since 1 January 1970 UTC.
int64_t realTimeMs();
// Thread-safe local time conversion.
bool localTime(int64_t seconds, std::tm& out);

}  // namespace kiv_platform

#endif  // TESSEL_TOOLKIT_KIV_PLATFORM_H_
