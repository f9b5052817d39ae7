#include "tessel/toolkit/kiv_mutex.h"

KivMutex::KivMutex(const void* /*attributes*/) {}

KivMutex::~KivMutex() = default;

int KivMutex::lock() {
  mutex_.lock();
  return 0;
}

int KivMutex::unlock() {
  mutex_.unlock();
  return 0;
}

int KivMutex::trylock() { return mutex_.try_lock() ? 0 : -1; }

KivAutoLock::KivAutoLock(KivMutex& mutex, bool wait) : mutex_(mutex), locked_(false) {
  if (wait) {
    mutex_.lock();
    locked_ = true;
  } else {
    locked_ = mutex_.trylock() == 0;
  }
}

KivAutoLock::~KivAutoLock() { release(); }

void KivAutoLock::release() {
  if (locked_) {
    locked_ = false;
    mutex_.unlock();
  }
}
