// The four-byte mutex: exclusion under contention (the sleeping path included), and the stamps that optimistic
// readers check: taken only while the mutex is free, and broken by any holder that came and went.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "index/core/structures/locks/compact_mutex.hpp"

namespace vostrel {
namespace {

TEST(CompactMutex, ContendedIncrementsAreNeverLost) {
  CompactMutex mutex;
  long counter = 0;  // guarded by mutex
  constexpr int THREADS = 4;
  constexpr int ROUNDS = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < ROUNDS; ++round) {
        std::lock_guard held(mutex);
        ++counter;
        // Now and then hold on long enough that the others go to sleep on the futex.
        if (round % 5000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, long{THREADS} * ROUNDS);
  EXPECT_TRUE(mutex.try_lock()) << "free once every thread is done";
  mutex.unlock();
}

TEST(CompactMutex, StampsHoldOnlyWhileNoHolderCame) {
  CompactMutex mutex;
  const std::optional<uint32_t> first = mutex.stamp();
  ASSERT_TRUE(first);
  EXPECT_TRUE(mutex.still(*first));
  EXPECT_TRUE(mutex.still(*mutex.stamp())) << "reading takes nothing";

  mutex.lock();
  EXPECT_FALSE(mutex.stamp()) << "no stamp while held";
  EXPECT_FALSE(mutex.still(*first));
  mutex.unlock();
  const std::optional<uint32_t> second = mutex.stamp();
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first) << "a holder that came and went breaks the old stamp";
  EXPECT_FALSE(mutex.still(*first));

  ASSERT_TRUE(mutex.try_lock());
  EXPECT_FALSE(mutex.try_lock());
  mutex.unlock();
  EXPECT_FALSE(mutex.still(*second)) << "a try-lock counts too";
}

TEST(CompactMutex, AStampSurvivesASleepingWaiterOnlyUntilItsTurn) {
  CompactMutex mutex;
  mutex.lock();
  std::thread waiter([&] {
    std::lock_guard held(mutex);  // sleeps: the mutex is held
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(mutex.stamp());
  mutex.unlock();
  waiter.join();
  const std::optional<uint32_t> after = mutex.stamp();
  ASSERT_TRUE(after) << "free again, with the contended mark gone";
  EXPECT_TRUE(mutex.try_lock());
  mutex.unlock();
  EXPECT_FALSE(mutex.still(*after));
}

TEST(CompactMutex, TheMarkStaysThroughContendedLocking) {
  // The mark shares the lock's word: no unlock, wake-up or count carry may clear it, and it may not break exclusion.
  CompactMutex mutex;
  EXPECT_FALSE(mutex.marked());
  long counter = 0;  // guarded by mutex
  constexpr int THREADS = 3;
  constexpr int ROUNDS = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < ROUNDS; ++round) {
        if (t == 0 && round == ROUNDS / 2) mutex.mark();  // set while the others hold or wait
        std::lock_guard held(mutex);
        ++counter;
        if (round % 5000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, long{THREADS} * ROUNDS);
  EXPECT_TRUE(mutex.marked());
  const std::optional<uint32_t> stamp = mutex.stamp();
  ASSERT_TRUE(stamp) << "a marked mutex is still free";
  mutex.mark();
  EXPECT_TRUE(mutex.still(*stamp)) << "marking again changes nothing";
  ASSERT_TRUE(mutex.try_lock());
  mutex.unlock();
  EXPECT_TRUE(mutex.marked());
}

}  // namespace
}  // namespace vostrel
