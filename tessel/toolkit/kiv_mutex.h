// KivMutex is the library's one kind of lock: recursive, so the thread that
// holds it may take it again and must release it as often as it took it.
// KivAutoLock holds a KivMutex for one scope on one thread.
//
// Any thread may use either class. A KivMutex owns its lock from
// construction to destruction and cannot be copied.
//
// Both carry clang's thread safety annotations (kiv_thread_annotations.h):
// a field marked GUARDED_BY(someMutex) can only be used inside a
// KivAutoLock on it, or between its lock() and unlock().

#ifndef TESSEL_TOOLKIT_KIV_MUTEX_H_
#define TESSEL_TOOLKIT_KIV_MUTEX_H_

#include <mutex>

#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_thread_annotations.h"

class TESSEL_EXPORT CAPABILITY("mutex") KivMutex {
 public:
  // The argument is accepted for source compatibility and ignored.
  explicit KivMutex(const void* attributes = nullptr);
  virtual ~KivMutex();

  KivMutex(const KivMutex&) = delete;
  KivMutex& operator=(const KivMutex&) = delete;

  // Waits until the lock is free (or already held by the caller) and takes
  // it: first by spinning SpinTries times, then by sleeping. Always 0.
  int lock() ACQUIRE();
  // Releases one level of ownership. Always 0. Only the holder may call it.
  int unlock() RELEASE();
  // Takes the lock when it is free or already held by the caller and returns
  // 0; returns -1 at once when another thread holds it.
  int trylock() TRY_ACQUIRE(0);

  static constexpr int SpinTries = 64;

 private:
  std::recursive_mutex mutex_;
};

class TESSEL_EXPORT SCOPED_CAPABILITY KivAutoLock {
 public:
  // With wait true, blocks until the mutex is taken; with wait false, tries
  // once and locked() tells whether that succeeded. The analysis takes the
  // mutex as held either way: code behind a holder made with wait false
  // must test locked() itself.
  KivAutoLock(KivMutex& mutex, bool wait = true) ACQUIRE(mutex);
  virtual ~KivAutoLock() RELEASE();

  KivAutoLock(const KivAutoLock&) = delete;
  KivAutoLock& operator=(const KivAutoLock&) = delete;

  bool locked() const { return locked_; }
  // Unlocks the mutex if this holder took it; a second call does nothing.
  void release() RELEASE();

 private:
  KivMutex& mutex_;
  bool locked_;
};

#endif  // TESSEL_TOOLKIT_KIV_MUTEX_H_
