// KivWakeup lets any thread wake a service thread that sleeps on a socket:
// the sleeper waits for either the socket to become readable or a signal(),
// whichever comes first, with a time limit. Signals that arrive while nobody
// waits are kept until the next wait.
//
// A signal from a thread that runs on the sleeper's own CPU, moments after
// the wait began, has just been preempted by this wake-up, most likely in
// the middle of a burst of work for the sleeper (a run of sends). wait()
// then leaves it the CPU for NapUs before returning, so that the rest of
// the burst is taken in one pass instead of one wake-up per item. A signal
// from another CPU, or after a longer wait, returns at once.
//
// Lifecycle: init() creates the wake-up handle; the destructor closes it.
// signal() may be called from any thread; wait() from one thread at a time.

#ifndef TESSEL_TOOLKIT_KIV_WAKEUP_H_
#define TESSEL_TOOLKIT_KIV_WAKEUP_H_

#include <atomic>
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

  // A wait cut short by a signal from the sleeper's own CPU within
  // ShortWaitUs ends with a nap of NapUs (stop and other signals end it).
  static constexpr int ShortWaitUs = 32;
  static constexpr int NapUs = 20;

 private:
  int handle_;
  // The CPU the last signal() ran on; -1 once a wait has looked at it.
  std::atomic<int> signallerCpu_;
};

#endif  // TESSEL_TOOLKIT_KIV_WAKEUP_H_
