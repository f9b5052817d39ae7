#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tessel/toolkit/kiv_event.h"
#include "tessel/toolkit/kiv_mutex.h"
#include "tests/support/test_support.h"

using namespace std::chrono_literals;

namespace {

// trylock from another thread: 0 (and released again) or -1.
int tryFromOther(KivMutex& mutex) {
  int result = 1;
  std::thread([&] {
    result = mutex.trylock();
    if (result == 0) mutex.unlock();
  }).join();
  return result;
}

}  // namespace

TEST(KivMutexTest, RecursiveForOwnerAndAutoLockReleasesOnlyItsOwnLevel) {
  KivMutex mutex;
  EXPECT_EQ(mutex.lock(), 0);
  EXPECT_EQ(mutex.trylock(), 0);  // already held by the caller
  {
    KivAutoLock guard(mutex);
    EXPECT_TRUE(guard.locked());
    guard.release();
    guard.release();  // a second release unlocks nothing
    EXPECT_FALSE(guard.locked());
  }
  EXPECT_EQ(tryFromOther(mutex), -1);  // two levels are still held
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(tryFromOther(mutex), -1);
  mutex.unlock();
  EXPECT_EQ(tryFromOther(mutex), 0);

  // Without wait on a mutex held elsewhere: nothing locked, nothing unlocked.
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    mutex.lock();
    held = true;
    while (!done) std::this_thread::sleep_for(1ms);
    mutex.unlock();
  });
  ASSERT_TRUE(tessel_test::waitFor([&] { return held.load(); }));
  {
    KivAutoLock guard(mutex, false);
    EXPECT_FALSE(guard.locked());
  }
  done = true;
  holder.join();
  KivAutoLock guard(mutex, false);
  EXPECT_TRUE(guard.locked());
}

TEST(KivEventTest, AutoResetIsConsumedByOneWaitManualStaysSetUntilReset) {
  KivEvent idle;  // without init everything fails at once
  EXPECT_EQ(idle.wait(), -1);
  EXPECT_EQ(idle.timeoutWait(KivEvent::Infinite), KivEvent::WaitFailed);
  EXPECT_EQ(idle.signal(), -1);
  EXPECT_EQ(idle.broadcast(), -1);
  EXPECT_EQ(idle.reset(), -1);

  KivEvent automatic;
  ASSERT_EQ(automatic.init(false), 0);
  EXPECT_EQ(automatic.timeoutWait(20), KivEvent::WaitTimeout);
  EXPECT_EQ(automatic.set(), 0);
  EXPECT_EQ(automatic.trywait(), 0);
  EXPECT_EQ(automatic.timeoutWait(0), KivEvent::WaitTimeout);

  KivEvent manual;
  ASSERT_EQ(manual.init(true), 0);
  EXPECT_EQ(manual.signal(), 0);
  EXPECT_EQ(manual.trywait(), 0);
  EXPECT_EQ(manual.wait(), 0);
  EXPECT_EQ(manual.reset(), 0);
  EXPECT_EQ(manual.trywait(), -1);
}

TEST(KivEventTest, AutoResetReleasesOneWaiterPerSignalManualReleasesAll) {
  for (bool manual : {false, true}) {
    KivEvent event;
    ASSERT_EQ(event.init(manual), 0);
    std::atomic<int> woken{0}, started{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
      waiters.emplace_back([&] {
        ++started;
        if (event.timeoutWait(5000) == KivEvent::WaitSignaled) ++woken;
      });
    ASSERT_TRUE(tessel_test::waitFor([&] { return started == 3; }));
    event.broadcast();
    if (manual) {
      ASSERT_TRUE(tessel_test::waitFor([&] { return woken == 3; }));
    } else {
      ASSERT_TRUE(tessel_test::waitFor([&] { return woken == 1; }));
      // Nobody else gets through on the same signal.
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(woken, 1);
      event.signal();
      ASSERT_TRUE(tessel_test::waitFor([&] { return woken == 2; }));
      event.signal();
      ASSERT_TRUE(tessel_test::waitFor([&] { return woken == 3; }));
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken, 3) << (manual ? "manual" : "auto");
  }
}
