#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "tessel/toolkit/kiv_platform.h"
#include "tessel/toolkit/kiv_wakeup.h"

KivWakeup::KivWakeup() : handle_(-1) {}

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
  uint64_t one = 1;
  // A full counter (never reached in practice) still leaves the event
  // readable, so a failed write loses nothing.
  ssize_t written = ::write(handle_, &one, sizeof(one));
  (void)written;
  return 0;
}

int KivWakeup::wait(int socket, int timeoutMs) {
  pollfd fds[2];
  nfds_t count = 0;
  if (handle_ >= 0) fds[count++] = {handle_, POLLIN, 0};
  if (socket >= 0) fds[count++] = {socket, POLLIN, 0};
  int ready = ::poll(fds, count, timeoutMs);
  if (ready < 0) return kiv_platform::interrupted() ? 1 : -1;
  if (handle_ >= 0 && (fds[0].revents & POLLIN)) {
    uint64_t value;
    ssize_t got = ::read(handle_, &value, sizeof(value));
    (void)got;
  }
  return ready > 0 ? 1 : 0;
}
