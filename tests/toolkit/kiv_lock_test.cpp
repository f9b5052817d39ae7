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

// Runs body on another thread while the caller holds mutex.
template <typename Body>
void whileHeldElsewhere(KivMutex& mutex, Body body) {
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    mutex.lock();
    held = true;
    while (!done) std::this_thread::sleep_for(1ms);
    mutex.unlock();
  });
  ASSERT_TRUE(tessel_test::waitFor([&] { return held.load(); }));
  body();
  done = true;
  holder.join();
}

}  // namespace

TEST(KivMutexTest, RecursiveForOwnerTrylockFailsForOthers) {
  KivMutex mutex;
  EXPECT_EQ(mutex.lock(), 0);
  EXPECT_EQ(mutex.trylock(), 0);  // already held by the caller
  EXPECT_EQ(mutex.lock(), 0);
  // Three levels held: another thread must fail until all three are released.
  std::atomic<int> result{1};
  auto tryFromOther = [&] {
    std::thread([&] {
      result = mutex.trylock();
      if (result == 0) mutex.unlock();
    }).join();
    return result.load();
  };
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(tryFromOther(), -1);
  mutex.unlock();
  EXPECT_EQ(tryFromOther(), -1);
  mutex.unlock();
  EXPECT_EQ(tryFromOther(), 0);
}

TEST(KivMutexTest, AutoLockWithoutWaitOnHeldMutexLocksNothing) {
  KivMutex mutex;
  whileHeldElsewhere(mutex, [&] {
    KivAutoLock guard(mutex, false);
    EXPECT_FALSE(guard.locked());
  });  // the destructor must not have unlocked the other thread's lock
  KivAutoLock guard(mutex, false);
  EXPECT_TRUE(guard.locked());
}

TEST(KivMutexTest, AutoLockReleaseTwiceUnlocksOnce) {
  KivMutex mutex;
  mutex.lock();  // the outer level, kept by this thread
  {
    KivAutoLock guard(mutex);
    EXPECT_TRUE(guard.locked());
    guard.release();
    guard.release();
    EXPECT_FALSE(guard.locked());
  }
  // One level is still ours: another thread cannot take it.
  int result = 0;
  std::thread([&] { result = mutex.trylock(); }).join();
  EXPECT_EQ(result, -1);
  mutex.unlock();
}

TEST(KivMutexTest, GuardsCountersAcrossThreads) {
  KivMutex mutex;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        KivAutoLock guard(mutex);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

TEST(KivEventTest, WithoutInitEverythingFailsAtOnce) {
  KivEvent event;
  EXPECT_EQ(event.wait(), -1);
  EXPECT_EQ(event.trywait(), -1);
  EXPECT_EQ(event.timeoutWait(KivEvent::Infinite), KivEvent::WaitFailed);
  EXPECT_EQ(event.signal(), -1);
  EXPECT_EQ(event.broadcast(), -1);
  EXPECT_EQ(event.set(), -1);
  EXPECT_EQ(event.reset(), -1);
}

TEST(KivEventTest, AutoResetIsConsumedByOneWait) {
  KivEvent event;
  ASSERT_EQ(event.init(false), 0);
  EXPECT_EQ(event.timeoutWait(0), KivEvent::WaitTimeout);
  EXPECT_EQ(event.timeoutWait(20), KivEvent::WaitTimeout);
  EXPECT_EQ(event.signal(), 0);
  EXPECT_EQ(event.trywait(), 0);
  EXPECT_EQ(event.trywait(), -1);
  event.set();
  EXPECT_EQ(event.timeoutWait(0), KivEvent::WaitSignaled);
  EXPECT_EQ(event.timeoutWait(0), KivEvent::WaitTimeout);
}

TEST(KivEventTest, ManualResetStaysSetUntilReset) {
  KivEvent event;
  ASSERT_EQ(event.init(true), 0);
  event.signal();
  EXPECT_EQ(event.trywait(), 0);
  EXPECT_EQ(event.trywait(), 0);
  EXPECT_EQ(event.wait(), 0);
  EXPECT_EQ(event.reset(), 0);
  EXPECT_EQ(event.trywait(), -1);
  EXPECT_EQ(event.timeoutWait(0), KivEvent::WaitTimeout);
}

TEST(KivEventTest, SignalFromAnotherThreadWakesWaiter) {
  KivEvent event;
  ASSERT_EQ(event.init(false), 0);
  std::thread signaller([&] {
    std::this_thread::sleep_for(10ms);
    event.signal();
  });
  EXPECT_EQ(event.wait(), 0);
  signaller.join();
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
