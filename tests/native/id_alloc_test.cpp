// Id allocator: first id, lowest-first reuse against a set model, exhaustion without wrap-around, concurrency.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "index/core/structures/ids/id_alloc.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

// Must run first in this process: nothing has allocated yet.
TEST(IdAlloc, FirstIdOfProcessIsOneAndReuseIsLowestFirst) {
  EXPECT_EQ(allocate_id(), 1u);
  std::vector<uint32_t> held;
  for (int i = 0; i < 10; ++i) held.push_back(allocate_id());
  EXPECT_EQ(held.front(), 2u);
  EXPECT_EQ(held.back(), 11u);
  free_id(9);
  free_id(7);
  free_id(8);
  const uint64_t fresh = id_alloc_testing::next_fresh_id();
  EXPECT_EQ(allocate_id(), 7u);
  EXPECT_EQ(allocate_id(), 8u);
  EXPECT_EQ(allocate_id(), 9u);
  EXPECT_EQ(id_alloc_testing::next_fresh_id(), fresh) << "reuse must not advance the counter";
  EXPECT_EQ(allocate_id(), fresh);
  // Freeing the newest ids hands the top of the range back to the counter, whatever the order.
  free_id(static_cast<uint32_t>(fresh) - 1);
  free_id(static_cast<uint32_t>(fresh));
  EXPECT_EQ(id_alloc_testing::next_fresh_id(), fresh - 1);
  EXPECT_EQ(id_alloc_testing::free_count(), 0u);
  EXPECT_EQ(allocate_id(), fresh - 1);
  EXPECT_EQ(allocate_id(), fresh);
}

// The allocator's rule as a plain model: the lowest free id below the counter, else the counter; freeing the id
// just below the counter lowers the counter past every free id at its top.
struct Model {
  std::set<uint32_t> free;
  uint64_t next;

  uint32_t allocate() {
    if (!free.empty()) {
      uint32_t id = *free.begin();
      free.erase(free.begin());
      return id;
    }
    return static_cast<uint32_t>(next++);
  }
  void release(uint32_t id) {
    free.insert(id);
    while (!free.empty() && uint64_t{*free.rbegin()} + 1 == next) {
      free.erase(std::prev(free.end()));
      --next;
    }
  }
};

// Random allocate/free sequences (with churn phases that drop most ids) give exactly the model's ids.
TEST(IdAlloc, MatchesLowestFirstModelOnRandomSequence) {
  ASSERT_EQ(id_alloc_testing::free_count(), 0u);
  std::mt19937 rng(1234);
  Model model{{}, id_alloc_testing::next_fresh_id()};
  std::vector<uint32_t> held;
  for (int step = 0; step < 40000; ++step) {
    const bool churn = (step / 5000) % 2 == 1;  // phases where most holders die
    if (held.empty() || rng() % 100 < (churn ? 25u : 60u)) {
      uint32_t got = allocate_id();
      ASSERT_EQ(got, model.allocate()) << "step " << step;
      held.push_back(got);
    } else {
      size_t pick = rng() % held.size();
      std::swap(held[pick], held.back());
      free_id(held.back());
      model.release(held.back());
      held.pop_back();
    }
    ASSERT_EQ(id_alloc_testing::next_fresh_id(), model.next) << "step " << step;
  }
  EXPECT_EQ(id_alloc_testing::free_count(), model.free.size());
  for (uint32_t id : held) free_id(id);
  EXPECT_EQ(id_alloc_testing::free_count(), 0u) << "with every id back, the counter took them all";
}

// Ids given back in batches (through IdReturnBatch and straight through free_many_ids) leave the allocator exactly
// where freeing them one at a time would: the same counter, the same free ids, the same next ids.
TEST(IdAlloc, BatchesMatchOneAtATime) {
  std::mt19937 rng(77);
  Model model{{}, id_alloc_testing::next_fresh_id()};
  std::vector<uint32_t> held;
  for (int round = 0; round < 40; ++round) {
    const int fresh = 1 + static_cast<int>(rng() % 3000);
    for (int i = 0; i < fresh; ++i) {
      const uint32_t got = allocate_id();
      ASSERT_EQ(got, model.allocate());
      held.push_back(got);
    }
    std::shuffle(held.begin(), held.end(), rng);
    const size_t giving = rng() % (held.size() + 1);
    if (round % 2 == 0) {
      IdReturnBatch batch;
      for (size_t at = 0; at < giving; ++at) batch.add(held[at]);
    } else {
      free_many_ids(std::span<const uint32_t>(held.data(), giving));
    }
    for (size_t at = 0; at < giving; ++at) model.release(held[at]);
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(giving));
    ASSERT_EQ(id_alloc_testing::next_fresh_id(), model.next) << "round " << round;
    ASSERT_EQ(id_alloc_testing::free_count(), model.free.size()) << "round " << round;
  }
  free_many_ids(held);
  EXPECT_EQ(id_alloc_testing::free_count(), 0u) << "with every id back, the counter took them all";
}

// After a churn that leaves ids scattered, new ids come back dense and ascending from the bottom.
TEST(IdAlloc, ChurnedIdsComeBackAscending) {
  std::mt19937 rng(9);
  std::vector<uint32_t> held(20000);
  for (uint32_t& id : held) id = allocate_id();
  std::shuffle(held.begin(), held.end(), rng);
  std::vector<uint32_t> survivors(held.begin(), held.begin() + 500);
  for (size_t pos = 500; pos < held.size(); ++pos) free_id(held[pos]);
  std::vector<uint32_t> fresh(5000);
  for (uint32_t& id : fresh) id = allocate_id();
  EXPECT_TRUE(std::is_sorted(fresh.begin(), fresh.end()));
  std::set<uint32_t> alive(survivors.begin(), survivors.end());
  for (uint32_t id : fresh) EXPECT_TRUE(alive.insert(id).second) << "id " << id << " handed out twice";
  for (uint32_t id : alive) free_id(id);
  EXPECT_EQ(id_alloc_testing::free_count(), 0u);
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
  // Freed ids still circulate after exhaustion, lowest first.
  free_id(42);
  free_id(0xFFFFFFFFu);
  EXPECT_EQ(allocate_id(), 42u);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFFu);
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
