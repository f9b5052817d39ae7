#include "tessel/toolkit/kiv_event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

struct KivEvent::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool signaled = false;
  bool manualReset = false;
};

KivEvent::KivEvent() = default;

KivEvent::~KivEvent() = default;

int KivEvent::init(bool manualReset) {
  if (!state_) {
    state_.reset(new (std::nothrow) State);
    if (!state_) return -1;
  }
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->signaled = false;
  state_->manualReset = manualReset;
  return 0;
}

int KivEvent::wait() { return timeoutWait(Infinite) == WaitSignaled ? 0 : -1; }

uint32_t KivEvent::timeoutWait(unsigned int ms) {
  if (!state_) return WaitFailed;
  std::unique_lock<std::mutex> guard(state_->mutex);
  auto isSet = [this] { return state_->signaled; };
  if (ms == Infinite) {
    state_->changed.wait(guard, isSet);
  } else if (!state_->changed.wait_for(guard, std::chrono::milliseconds(ms), isSet)) {
    return WaitTimeout;
  }
  if (!state_->manualReset) state_->signaled = false;
  return WaitSignaled;
}

int KivEvent::trywait() { return timeoutWait(0) == WaitSignaled ? 0 : -1; }

int KivEvent::signal() {
  if (!state_) return -1;
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->signaled = true;
  // An auto-reset event releases a single waiter; waking more would only
  // send the others back to sleep.
  if (state_->manualReset) {
    state_->changed.notify_all();
  } else {
    state_->changed.notify_one();
  }
  return 0;
}

int KivEvent::broadcast() { return signal(); }

int KivEvent::set() { return signal(); }

int KivEvent::reset() {
  if (!state_) return -1;
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->signaled = false;
  return 0;
}
