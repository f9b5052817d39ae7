#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tessel/toolkit/kiv_event.h"
#include "tessel/toolkit/kiv_mutex.h"
#include "tessel/toolkit/kiv_wakeup.h"
#include "tests/support/test_support.h"

TEST(KivMutexTest, RecursiveForOwnerAndAutoLockReleasesOnlyItsOwnLevel) {
  KivMutex mutex;
  auto tryFromOther = [&mutex] {  // trylock from another thread, released again
    int result = 1;
    std::thread([&] {
      if ((result = mutex.trylock()) == 0) mutex.unlock();
    }).join();
    return result;
  };
  EXPECT_EQ(mutex.lock(), 0);
  EXPECT_EQ(mutex.trylock(), 0);  // already held by the caller
  {
    KivAutoLock guard(mutex);
    EXPECT_TRUE(guard.locked());
    guard.release();
    guard.release();  // a second release unlocks nothing
    EXPECT_FALSE(guard.locked());
  }
  EXPECT_EQ(tryFromOther(), -1);  // two levels are still held
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(tryFromOther(), -1);
  mutex.unlock();
  EXPECT_EQ(tryFromOther(), 0);
  KivAutoLock guard(mutex, false);
  EXPECT_TRUE(guard.locked());
}

TEST(KivEventTest, AutoResetIsConsumedByOneWaitManualStaysSetUntilReset) {
  KivEvent idle;  // without init everything fails at once
  EXPECT_EQ(idle.wait(), -1);
  EXPECT_EQ(idle.timeoutWait(KivEvent::Infinite), KivEvent::WaitFailed);
  EXPECT_EQ(idle.signal(), -1);
  EXPECT_EQ(idle.reset(), -1);

  KivEvent automatic, manual;
  ASSERT_EQ(automatic.init(false), 0);
  EXPECT_EQ(automatic.timeoutWait(20), KivEvent::WaitTimeout);
  EXPECT_EQ(automatic.set(), 0);
  EXPECT_EQ(automatic.trywait(), 0);
  EXPECT_EQ(automatic.timeoutWait(0), KivEvent::WaitTimeout);
  ASSERT_EQ(manual.init(true), 0);
  EXPECT_EQ(manual.broadcast(), 0);
  EXPECT_EQ(manual.trywait(), 0);
  EXPECT_EQ(manual.wait(), 0);
  EXPECT_EQ(manual.reset(), 0);
  EXPECT_EQ(manual.trywait(), -1);

  // A sleeping waiter is woken by the signal, not by its own time-out.
  for (bool manualReset : {false, true}) {
    KivEvent event;
    ASSERT_EQ(event.init(manualReset), 0);
    std::atomic<int> state{0};  // 1 waiting, 2 woken
    std::thread waiter([&] {
      state = 1;
      if (event.timeoutWait(20000) == KivEvent::WaitSignaled) state = 2;
    });
    ASSERT_TRUE(tessel_test::waitFor([&] { return state == 1; }));
    event.signal();
    EXPECT_TRUE(tessel_test::waitFor([&] { return state == 2; })) << manualReset;
    waiter.join();
  }
}

TEST(KivWakeupTest, SignalOrReadableSocketEndsTheWaitAndIsConsumed) {
  KivWakeup wakeup;
  EXPECT_EQ(wakeup.signal(), -1);     // no handle yet
  EXPECT_EQ(wakeup.wait(-1, 0), 0);   // nothing to wait on
  ASSERT_EQ(wakeup.init(), 0);
  ASSERT_EQ(wakeup.init(), 0);
  EXPECT_EQ(wakeup.wait(-1, 0), 0);
  EXPECT_EQ(wakeup.signal(), 0);
  EXPECT_EQ(wakeup.signal(), 0);
  EXPECT_EQ(wakeup.wait(-1, 5000), 1);
  EXPECT_EQ(wakeup.wait(-1, 0), 0);  // both signals were consumed
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
  EXPECT_EQ(wakeup.wait(pair[0], 0), 0);
  ASSERT_EQ(send(pair[1], "x", 1, 0), 1);
  EXPECT_EQ(wakeup.wait(pair[0], 5000), 1);
  close(pair[0]);
  close(pair[1]);
}
