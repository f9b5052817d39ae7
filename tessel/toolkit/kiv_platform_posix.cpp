#include <errno.h>
#include <time.h>

#include "tessel/toolkit/kiv_platform.h"

namespace kiv_platform {

uint64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
}

int64_t realTimeMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t(now.tv_sec) * 1000 + int64_t(now.tv_nsec) / 1000000;
}

bool localTime(int64_t seconds, std::tm& out) {
  time_t value = static_cast<time_t>(seconds);
  return localtime_r(&value, &out) != nullptr;
}

Failure lastFailure() {
  const int code = errno;
  if (code == EINTR) return Failure::Interrupted;
  if (code == EAGAIN || code == EWOULDBLOCK) return Failure::WouldBlock;
  if (code == EINPROGRESS) return Failure::InProgress;
  if (code == ETIMEDOUT) return Failure::TimedOut;
  if (code == EEXIST) return Failure::Exists;
  if (code == ENOENT || code == ENOTDIR) return Failure::Missing;
  return Failure::Other;
}

bool isTransient(Failure failure) {
  return failure == Failure::Interrupted || failure == Failure::WouldBlock || failure == Failure::InProgress ||
         failure == Failure::TimedOut;
}

}  // namespace kiv_platform
