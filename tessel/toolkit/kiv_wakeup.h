// KivWakeup lets any thread wake a service thread that sleeps on a socket:
// the sleeper waits for either the socket to become readable or a signal(),
// whichever comes first, with a time limit. Signals that arrive while nobody
// waits are kept until the next wait.
//
// Lifecycle: init() creates the wake-up handle; the destructor closes it.
// signal() may be called from any thread; wait() from one thread at a time.

#ifndef TESSEL_TOOLKIT_KIV_WAKEUP_H_
#define TESSEL_TOOLKIT_KIV_WAKEUP_H_

#include <cstdint>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivWakeup {
 public:
  KivWakeup();
  virtual ~KivWakeup();

  KivWakeup(const KivWakeup&) = delete;
  KivWakeup& operator=(const KivWakeup&) = delete;

  // 0, or -1 when the handle cannot be created.
  int init();
  // Wakes the current or next wait(). 0, or -1 without a handle.
  int signal();
  // Waits at most timeoutMs for the socket (a descriptor; -1 for none) to
  // become readable or for a signal. Clears pending signals. Returns 1 when
  // woken by a signal or the socket, 0 on timeout, -1 on failure (without a
  // handle it just sleeps on the socket).
  int wait(int socket, int timeoutMs);

 private:
  int handle_;
};

#endif  // TESSEL_TOOLKIT_KIV_WAKEUP_H_
