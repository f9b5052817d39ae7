#include "tessel/toolkit/kiv_mutex.h"

// The bodies are not analysed: std::recursive_mutex carries no
// annotations, and a holder's lock depends on its wait argument.

KivMutex::KivMutex(const void* /*attributes*/) {}

KivMutex::~KivMutex() = default;

namespace {

// Tells the CPU that this is a spin-wait loop (less power, and a sibling
// hardware thread runs faster meanwhile).
inline void relaxCpu() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

int KivMutex::lock() NO_THREAD_SAFETY_ANALYSIS {
  // The library's locks are held for a copy or a swap, well under a
  // microsecond: a short spin mostly takes the lock without the sleep and
  // the wake-up (two system calls, two context switches) that blocking
  // costs. A holder that stays longer, or was preempted, is waited for.
  for (int i = 0; i < SpinTries; ++i) {
    if (mutex_.try_lock()) return 0;
    relaxCpu();
  }
  mutex_.lock();
  return 0;
}

int KivMutex::unlock() NO_THREAD_SAFETY_ANALYSIS {
  mutex_.unlock();
  return 0;
}

int KivMutex::trylock() NO_THREAD_SAFETY_ANALYSIS { return mutex_.try_lock() ? 0 : -1; }

KivAutoLock::KivAutoLock(KivMutex& mutex, bool wait) NO_THREAD_SAFETY_ANALYSIS : mutex_(mutex), locked_(false) {
  if (wait) {
    mutex_.lock();
    locked_ = true;
  } else {
    locked_ = mutex_.trylock() == 0;
  }
}

KivAutoLock::~KivAutoLock() NO_THREAD_SAFETY_ANALYSIS { release(); }

void KivAutoLock::release() NO_THREAD_SAFETY_ANALYSIS {
  if (locked_) {
    locked_ = false;
    mutex_.unlock();
  }
}
