#include "tessel/toolkit/kiv_mutex.h"

// The bodies are not analysed: std::recursive_mutex carries no
// annotations, and a holder's lock depends on its wait argument.

KivMutex::KivMutex(const void* /*attributes*/) {}

KivMutex::~KivMutex() = default;

int KivMutex::lock() NO_THREAD_SAFETY_ANALYSIS {
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
