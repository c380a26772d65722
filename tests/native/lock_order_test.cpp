// The lock-rank checker: locks taken in hierarchy order pass, any inversion aborts at once.
#include "index/core/structures/locks/lock_order.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <shared_mutex>
#include <thread>

namespace vostrel {
namespace {

static_assert(LOCK_ORDER_CHECKED, "this test is built with the checker on");

TEST(LockOrder, AscendingRanksPass) {
  RankedMutex gate(lock_rank::WRITE_GATE);
  RankedMutex attributes(lock_rank::OBJECT_ATTRIBUTES);
  RankedSharedMutex maps(lock_rank::at_level(0, lock_rank::QUERY_MAPS));
  RankedSharedMutex nested_maps(lock_rank::at_level(1, lock_rank::QUERY_MAPS));
  {
    std::lock_guard g(gate);
    std::lock_guard a(attributes);
    std::shared_lock m(maps);
    std::shared_lock n(nested_maps);
    EXPECT_EQ(lock_order_held_count(), 4);
  }
  EXPECT_EQ(lock_order_held_count(), 0);
}

TEST(LockOrder, ReleasedOutOfOrderIsForgotten) {
  RankedMutex membership(lock_rank::OBJECT_MEMBERSHIP);
  RankedMutex attributes(lock_rank::OBJECT_ATTRIBUTES);
  std::unique_lock m(membership);
  std::unique_lock a(attributes);
  m.unlock();
  EXPECT_EQ(lock_order_held_count(), 1);
  a.unlock();
  // Both gone: the lower rank may be taken again.
  std::lock_guard again(membership);
  EXPECT_EQ(lock_order_held_count(), 1);
}

TEST(LockOrder, TryLockAgainstOrderIsAllowed) {
  RankedMutex attributes(lock_rank::OBJECT_ATTRIBUTES);
  RankedSharedMutex maps(lock_rank::at_level(0, lock_rank::QUERY_MAPS));
  std::shared_lock m(maps);
  std::unique_lock a(attributes, std::try_to_lock);  // never waits, so it cannot close a cycle
  EXPECT_TRUE(a.owns_lock());
}

TEST(LockOrder, HeldPerThread) {
  RankedSharedMutex maps(lock_rank::at_level(0, lock_rank::QUERY_MAPS));
  RankedMutex attributes(lock_rank::OBJECT_ATTRIBUTES);
  std::shared_lock m(maps);
  // Another thread holds nothing, so it may take a lower rank.
  std::thread other([&] {
    std::lock_guard a(attributes);
    EXPECT_EQ(lock_order_held_count(), 1);
  });
  other.join();
}

using LockOrderDeathTest = ::testing::Test;

TEST_F(LockOrderDeathTest, ObjectLockUnderIndexLockAborts) {
  EXPECT_DEATH(
      {
        RankedSharedMutex maps(lock_rank::at_level(0, lock_rank::QUERY_MAPS));
        RankedMutex attributes(lock_rank::OBJECT_ATTRIBUTES);
        std::shared_lock m(maps);
        std::lock_guard a(attributes);
      },
      "lock order violated");
}

TEST_F(LockOrderDeathTest, OuterIndexUnderNestedIndexAborts) {
  EXPECT_DEATH(
      {
        RankedSharedMutex outer(lock_rank::at_level(0, lock_rank::ITEMS));
        RankedSharedMutex nested(lock_rank::at_level(1, lock_rank::QUERY_MAPS));
        std::shared_lock n(nested);
        std::shared_lock o(outer);
      },
      "lock order violated");
}

TEST_F(LockOrderDeathTest, SameLockTwiceAborts) {
  // A second read lock on a reader-writer lock waits behind a queued writer: a self-deadlock in waiting.
  EXPECT_DEATH(
      {
        RankedSharedMutex maps(lock_rank::at_level(0, lock_rank::QUERY_MAPS));
        std::shared_lock first(maps);
        std::shared_lock second(maps);
      },
      "lock order violated");
}

TEST_F(LockOrderDeathTest, InterpreterLockWithEngineLockAborts) {
  EXPECT_DEATH(
      {
        RankedMutex gate(lock_rank::WRITE_GATE);
        std::lock_guard g(gate);
        lock_order_expect_none("taking the interpreter lock back");
      },
      "lock order violated: taking the interpreter lock back");
}

}  // namespace
}  // namespace vostrel
