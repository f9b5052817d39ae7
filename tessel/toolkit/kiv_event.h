// KivEvent is a waitable event, manual-reset or auto-reset, that any thread
// may set, clear or wait on. A manual-reset event stays set until reset(); an
// auto-reset event is cleared by the one wait that it releases.
//
// Lifecycle: constructed without an event; init() creates it; the destructor
// closes it. Every operation on an event that was never created fails
// without blocking. The destructor must not run while another thread waits.

#ifndef TESSEL_TOOLKIT_KIV_EVENT_H_
#define TESSEL_TOOLKIT_KIV_EVENT_H_

#include <cstdint>
#include <memory>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivEvent {
 public:
  // Results of timeoutWait(), as the platform's wait reports them.
  static constexpr uint32_t WaitSignaled = 0;
  static constexpr uint32_t WaitAbandoned = 128;
  static constexpr uint32_t WaitTimeout = 258;
  static constexpr uint32_t WaitFailed = 0xFFFFFFFF;
  // A timeoutWait() argument that waits without limit.
  static constexpr unsigned int Infinite = 0xFFFFFFFF;

  KivEvent();
  virtual ~KivEvent();

  KivEvent(const KivEvent&) = delete;
  KivEvent& operator=(const KivEvent&) = delete;

  // Creates the event, initially clear; manual-reset when manualReset is
  // true, auto-reset otherwise. 0 on success, -1 when it cannot be created.
  // Calling it again on an existing event clears the event and changes its
  // kind.
  int init(bool manualReset);

  // Waits without limit until the event is set: 0 when it was set, -1 when
  // there is no event.
  int wait();
  // Waits at most ms milliseconds (Infinite: no limit). WaitSignaled,
  // WaitTimeout, or WaitFailed when there is no event.
  uint32_t timeoutWait(unsigned int ms);
  // Checks without waiting: 0 when the event was set (an auto-reset event is
  // cleared by this), -1 when it is clear or there is no event.
  int trywait();

  // All three set the event: a manual-reset event releases every waiter, an
  // auto-reset event one. -1 when there is no event.
  int signal();
  int broadcast();
  int set();
  // Clears the event. -1 when there is no event.
  int reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

#endif  // TESSEL_TOOLKIT_KIV_EVENT_H_
