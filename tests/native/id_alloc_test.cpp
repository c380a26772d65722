// Id allocator: first id, LIFO reuse against a stack model, exhaustion without wrap-around, concurrent uniqueness.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "index/core/id_alloc.hpp"
#include "index/internal_error.hpp"

namespace vostrel {
namespace {

// Must run first in this process: nothing has allocated yet.
TEST(IdAlloc, FirstIdOfProcessIsOneAndReuseIsLifo) {
  EXPECT_EQ(allocate_id(), 1u);
  std::vector<uint32_t> held;
  for (int i = 0; i < 10; ++i) held.push_back(allocate_id());
  EXPECT_EQ(held.front(), 2u);
  EXPECT_EQ(held.back(), 11u);
  free_id(7);
  free_id(9);
  const uint64_t fresh = id_alloc_testing::next_fresh_id();
  EXPECT_EQ(allocate_id(), 9u);
  EXPECT_EQ(allocate_id(), 7u);
  EXPECT_EQ(id_alloc_testing::next_fresh_id(), fresh) << "reuse must not advance the counter";
  EXPECT_EQ(allocate_id(), fresh);
}

// Random allocate/free sequences give exactly the ids a stack-plus-counter model gives.
TEST(IdAlloc, MatchesStackModelOnRandomSequence) {
  ASSERT_EQ(id_alloc_testing::free_count(), 0u);
  std::mt19937 rng(1234);
  std::vector<uint32_t> model_free;
  uint64_t model_next = id_alloc_testing::next_fresh_id();
  std::vector<uint32_t> held;
  for (int step = 0; step < 20000; ++step) {
    if (held.empty() || rng() % 100 < 55) {
      uint32_t expected;
      if (!model_free.empty()) {
        expected = model_free.back();
        model_free.pop_back();
      } else {
        expected = static_cast<uint32_t>(model_next++);
      }
      uint32_t got = allocate_id();
      ASSERT_EQ(got, expected) << "step " << step;
      held.push_back(got);
    } else {
      size_t pick = rng() % held.size();
      std::swap(held[pick], held.back());
      free_id(held.back());
      model_free.push_back(held.back());
      held.pop_back();
    }
  }
  EXPECT_EQ(id_alloc_testing::free_count(), model_free.size());
  EXPECT_EQ(id_alloc_testing::next_fresh_id(), model_next);
  for (uint32_t id : held) free_id(id);
  // Drain the free stack again so later tests start from an empty stack.
  for (size_t i = 0, n = id_alloc_testing::free_count(); i < n; ++i) allocate_id();
}

TEST(IdAlloc, ExhaustedCounterThrowsAndNeverWraps) {
  const uint64_t saved = id_alloc_testing::next_fresh_id();
  ASSERT_EQ(id_alloc_testing::free_count(), 0u);
  id_alloc_testing::set_next_fresh_id(0xFFFFFFFFull);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFFu);
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      allocate_id();
      FAIL() << "allocation past the id space must fail";
    } catch (const InternalError& error) {
      EXPECT_STREQ(error.what(), "id space exhausted");
    }
    EXPECT_EQ(id_alloc_testing::next_fresh_id(), uint64_t{1} << 32) << "the counter stays exhausted";
  }
  // Freed ids still circulate after exhaustion.
  free_id(42);
  free_id(0xFFFFFFFFu);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFFu);
  EXPECT_EQ(allocate_id(), 42u);
  EXPECT_THROW(allocate_id(), InternalError);
  id_alloc_testing::set_next_fresh_id(saved);
}

// Threads allocate and free concurrently; an ownership flag per id catches any id handed to two holders at once.
TEST(IdAlloc, ConcurrentHoldersNeverShareAnId) {
  constexpr size_t MAX_ID = 1 << 20;
  auto owned = std::make_unique<std::atomic<uint8_t>[]>(MAX_ID);
  std::atomic<int> violations{0};
  constexpr int THREADS = 4;
  std::vector<std::vector<uint32_t>> kept(THREADS);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(77 + t);
      std::vector<uint32_t> held;
      ready.fetch_add(1);
      while (ready.load() < THREADS) {
      }  // start together so the threads really contend
      for (int step = 0; step < 300000; ++step) {
        if (held.empty() || rng() % 100 < 60) {
          uint32_t id = allocate_id();
          if (id == 0 || id >= MAX_ID || owned[id].exchange(1) != 0) violations.fetch_add(1);
          held.push_back(id);
        } else {
          size_t pick = rng() % held.size();
          std::swap(held[pick], held.back());
          owned[held.back()].store(0);  // released before it is given back
          free_id(held.back());
          held.pop_back();
        }
      }
      kept[t] = std::move(held);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(violations.load(), 0);
  size_t total = 0;
  for (const auto& held : kept) {
    total += held.size();
    for (uint32_t id : held) EXPECT_EQ(owned[id].load(), 1);
  }
  size_t flagged = 0;
  for (size_t id = 0; id < MAX_ID; ++id) flagged += owned[id].load();
  EXPECT_EQ(flagged, total) << "every held id is held by exactly one thread";
}

}  // namespace
}  // namespace vostrel
