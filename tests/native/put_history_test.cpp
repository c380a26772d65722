// PutHistory against a model: every held mark answers the ids stored after it, and generations stay few.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>
#include <vector>

#include "index/core/structures/put_history/put_history.hpp"

namespace vostrel {
namespace {

std::set<uint32_t> as_set(const std::optional<Bitmap>& bitmap) {
  std::set<uint32_t> ids;
  if (bitmap) {
    EXPECT_FALSE(bitmap->isEmpty()) << "none is told as nullopt";
    for (uint32_t id : *bitmap) ids.insert(id);
  }
  return ids;
}

TEST(PutHistory, RecordsNothingWhileNoMarkIsHeld) {
  PutHistory history;
  history.stored(1);
  EXPECT_EQ(history.generation_count(), 0u);
  EXPECT_EQ(history.stored_since(nullptr), std::nullopt);
  PutHistory::Mark mark = history.mark();
  EXPECT_EQ(history.stored_since(mark), std::nullopt);
  const std::vector<uint32_t> batch{5, 6};
  history.stored_batch(batch.size(), [&](size_t pos) { return batch[pos]; });
  EXPECT_EQ(as_set(history.stored_since(mark)), (std::set<uint32_t>{5, 6}));
  mark.reset();
  history.stored(7);  // the last mark is gone: nothing is kept
  EXPECT_EQ(history.generation_count(), 0u);
}

TEST(PutHistory, MarksAnswerWhatWasStoredAfterThemAgainstAModel) {
  std::mt19937 rng(17);
  for (int round = 0; round < 20; ++round) {
    PutHistory history;
    struct Held {
      PutHistory::Mark mark;
      std::set<uint32_t> since;
    };
    std::vector<Held> held;
    for (int step = 0; step < 400; ++step) {
      const unsigned choice = rng() % 10;
      if (choice < 5) {
        const uint32_t id = rng() % 64;
        history.stored(id);
        for (Held& h : held) h.since.insert(id);
      } else if (choice < 7) {
        held.push_back({history.mark(), {}});
      } else if (choice < 9 && !held.empty()) {
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(rng() % held.size()));  // dropped in any order
      } else {
        std::vector<uint32_t> ids(rng() % 5);
        for (uint32_t& id : ids) id = rng() % 64;
        history.stored_batch(ids.size(), [&](size_t pos) { return ids[pos]; });
        for (Held& h : held) h.since.insert(ids.begin(), ids.end());
      }
      for (const Held& h : held) ASSERT_EQ(as_set(history.stored_since(h.mark)), h.since) << round << " " << step;
      // Folding keeps no more than one generation per held mark, and one to record into.
      if (choice >= 5 && choice < 7) {
        ASSERT_LE(history.generation_count(), held.size() + 1);
      }
    }
  }
}

TEST(PutHistory, MarksTakenAndDroppedOnOtherThreadsStayExact) {
  PutHistory history;
  PutHistory::Mark mine = history.mark();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&history, t] {
      for (int i = 0; i < 2000; ++i) {
        PutHistory::Mark passing = history.mark();
        history.stored(static_cast<uint32_t>(t * 10000 + i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(as_set(history.stored_since(mine)).size(), 8000u);
  const PutHistory::Mark last = history.mark();  // folds what the threads' marks left
  EXPECT_EQ(history.generation_count(), 2u);
}

}  // namespace
}  // namespace vostrel
