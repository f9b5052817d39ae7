#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "tessel/toolkit/kiv_platform.h"
#include "tessel/toolkit/kiv_wakeup.h"

namespace {

// Reads the pending signals, so that the next wait sleeps again. True when
// there were any.
bool clearSignals(int handle) {
  uint64_t value;
  return ::read(handle, &value, sizeof(value)) > 0;
}

}  // namespace

KivWakeup::KivWakeup() : handle_(-1), signallerCpu_(-1) {}

KivWakeup::~KivWakeup() {
  if (handle_ >= 0) ::close(handle_);
}

int KivWakeup::init() {
  if (handle_ >= 0) return 0;
  handle_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return handle_ >= 0 ? 0 : -1;
}

int KivWakeup::signal() {
  if (handle_ < 0) return -1;
  signallerCpu_.store(sched_getcpu(), std::memory_order_relaxed);
  uint64_t one = 1;
  // A full counter (never reached in practice) still leaves the event
  // readable, so a failed write loses nothing.
  ssize_t written = ::write(handle_, &one, sizeof(one));
  (void)written;
  return 0;
}

int KivWakeup::wait(int socket, int timeoutMs) {
  // The nap is short: the kernel's default timer slack (50 us) would make
  // it three times as long.
  static thread_local bool slackSet = false;
  if (!slackSet) {
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    slackSet = true;
  }
  pollfd fds[2];
  nfds_t count = 0;
  if (handle_ >= 0) fds[count++] = {handle_, POLLIN, 0};
  if (socket >= 0) fds[count++] = {socket, POLLIN, 0};
  const auto start = std::chrono::steady_clock::now();
  int ready = ::poll(fds, count, timeoutMs);
  if (ready < 0) return kiv_platform::interrupted() ? 1 : -1;
  if (handle_ >= 0 && (fds[0].revents & POLLIN) && clearSignals(handle_)) {
    const int signaller = signallerCpu_.exchange(-1, std::memory_order_relaxed);
    const bool sameCpu = signaller >= 0 && signaller == sched_getcpu();
    if (sameCpu && std::chrono::steady_clock::now() - start < std::chrono::microseconds(ShortWaitUs)) {
      // The signaller was running here a moment ago and is runnable again
      // once this thread naps.
      pollfd own = {handle_, POLLIN, 0};
      const timespec nap = {0, long(NapUs) * 1000};
      if (::ppoll(&own, 1, &nap, nullptr) > 0) clearSignals(handle_);
    }
  }
  return ready > 0 ? 1 : 0;
}
