// HybridSet: documented state transitions, and random runs against std::set.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/core/structures/internal_error.hpp"

#include "id_shadow.hpp"

namespace vostrel {
namespace {

using State = HybridSet::State;

using testing::ids;

HybridSet make(std::initializer_list<uint32_t> values) {
  HybridSet s;
  for (uint32_t v : values) s.add(v);
  return s;
}

HybridSet medium(std::initializer_list<uint32_t> values) {
  CenteredArray a;
  for (uint32_t v : values) a.insert(v);
  return HybridSet::boxed(a);
}

TEST(HybridSet, AddGrowsSmallThenLarge) {
  HybridSet s = make({5, 1, 9});
  EXPECT_EQ(s.state(), State::Small);
  EXPECT_EQ(ids(s), (std::vector<uint32_t>{1, 5, 9}));
  s.add(7);
  EXPECT_EQ(s.state(), State::Large);
  EXPECT_EQ(ids(s), (std::vector<uint32_t>{1, 5, 7, 9}));

  HybridSet two = make({4, 2});
  two.add(2);
  EXPECT_EQ(two.state(), State::Small);
  EXPECT_EQ(ids(two), (std::vector<uint32_t>{2, 4}));
  HybridSet three = make({4, 2, 3});
  three.add(3);  // a duplicate still converts a full inline set
  EXPECT_EQ(three.state(), State::Large);
  EXPECT_EQ(ids(three), (std::vector<uint32_t>{2, 3, 4}));
}

TEST(HybridSet, EmptyStateRefusesRemoveAndIsEmpty) {
  HybridSet empty;
  EXPECT_EQ(empty.cardinality(), 0u);
  EXPECT_TRUE(empty.to_bitmap().isEmpty());
  try {
    empty.remove(1);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "called remove on Empty");
  }
  try {
    (void)empty.is_empty();
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "called is_empty on Empty");
  }
}

TEST(HybridSet, RemovingKeepsStateInEveryForm) {
  for (HybridSet s : {make({8}), medium({8, 9}), make({1, 2, 3, 4})}) {
    const State before = s.state();
    const uint64_t len = s.cardinality();
    s.remove(12345);  // absent: no change
    EXPECT_EQ(s.state(), before);
    EXPECT_EQ(s.cardinality(), len);
    for (uint32_t id : ids(s)) s.remove(id);
    EXPECT_EQ(s.state(), before);
    EXPECT_TRUE(s.is_empty());
  }
}

TEST(HybridSet, CopiesAreDeepAndKeepTheForm) {
  for (HybridSet original : {make({1, 2}), medium({1, 2}), make({1, 2, 3, 4})}) {
    HybridSet copy = original;
    EXPECT_EQ(copy.state(), original.state());
    copy.remove(1);
    EXPECT_TRUE(original.contains(1));
    if (original.state() == State::Medium) {
      EXPECT_NE(copy.array(), original.array());
    }
    HybridSet moved = std::move(copy);
    EXPECT_EQ(moved.state(), original.state());
    EXPECT_EQ(copy.state(), State::Empty);  // NOLINT: moved-from is defined as Empty
  }
}

TEST(HybridSet, UnionPicksTheDocumentedForm) {
  HybridSet small = HybridSet::union_of(make({1, 2}), make({2, 3}));
  EXPECT_EQ(small.state(), State::Small);
  EXPECT_EQ(ids(small), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(HybridSet::union_of(make({1, 2}), make({3, 4, 5})).state(), State::Large);
}

// Expected state after each operation, from the state and length before it.
State after_add(State s, uint64_t len) {
  switch (s) {
    case State::Empty: return State::Small;
    case State::Small: return len + 1 < 4 ? State::Small : State::Large;
    case State::Medium: return len < 4 ? State::Medium : State::Large;
    case State::Large: return State::Large;
  }
  return s;
}

State after_union(const HybridSet& a, const HybridSet& b) {
  if (a.state() == State::Empty) return b.state();
  if (b.state() == State::Empty) return a.state();
  const bool arrays = a.state() != State::Large && b.state() != State::Large;
  if (!arrays || a.cardinality() + b.cardinality() > 4) return State::Large;
  return a.state() == State::Small && b.state() == State::Small ? State::Small : State::Medium;
}

void expect_same(const HybridSet& s, const std::set<uint32_t>& model) {
  const std::vector<uint32_t> want(model.begin(), model.end());
  ASSERT_EQ(ids(s), want);
  ASSERT_EQ(ids(s.to_bitmap()), want);
  ASSERT_EQ(s.cardinality(), want.size());
  Bitmap seeded;
  seeded.add(0xFFFFFFFFu);
  s.or_into(seeded);
  ASSERT_EQ(seeded.cardinality(), model.size() + (model.contains(0xFFFFFFFFu) ? 0 : 1));
  if (const CenteredArray* a = s.array()) {
    ASSERT_LE(a->start + a->len, 4u);
  }
}

TEST(HybridSet, RandomOpsMatchSetAndFollowTransitions) {
  std::mt19937 rng(7);
  constexpr size_t N = 12;
  std::vector<HybridSet> sets(N);
  std::vector<std::set<uint32_t>> models(N);
  auto random_id = [&] { return rng() % 16 == 0 ? 0xFFFFFFFFu : rng() % 24; };
  for (int step = 0; step < 40000; ++step) {
    const size_t i = rng() % N;
    HybridSet& s = sets[i];
    const State before = s.state();
    switch (rng() % 10) {
      case 0: case 1: case 2: case 3: {
        const uint32_t id = random_id();
        const uint64_t len = s.cardinality();
        s.add(id);
        models[i].insert(id);
        ASSERT_EQ(s.state(), after_add(before, len));
        break;
      }
      case 4: case 5: case 6: {
        const uint32_t id = random_id();
        if (before == State::Empty) {
          EXPECT_THROW(s.remove(id), InternalError);
        } else {
          s.remove(id);
          models[i].erase(id);
          ASSERT_EQ(s.state(), before);
        }
        break;
      }
      case 7: case 8: {
        const size_t j = rng() % N;
        HybridSet u = HybridSet::union_of(s, sets[j]);
        ASSERT_EQ(u.state(), after_union(s, sets[j]));
        std::set<uint32_t> m = models[i];
        m.insert(models[j].begin(), models[j].end());
        expect_same(u, m);
        sets[i] = std::move(u);
        models[i] = std::move(m);
        break;
      }
      default: {
        Bitmap keep;
        for (int k = 0; k < 12; ++k) keep.add(random_id());
        s.keep_only_from_bitmap(keep);
        ASSERT_EQ(s.state(), before);
        std::erase_if(models[i], [&](uint32_t id) { return !keep.contains(id); });
        break;
      }
    }
    expect_same(sets[i], models[i]);
    if (sets[i].state() != State::Empty) {
      ASSERT_EQ(sets[i].is_empty(), models[i].empty());
    }
    if (rng() % 50 == 0) {
      // Owners drop sets and start again from Empty; some restart as boxed
      // arrays so that the Medium form takes part too.
      sets[i] = HybridSet();
      models[i].clear();
      if (rng() % 2 == 0) {
        CenteredArray a;
        for (uint32_t k = rng() % 5; k > 0; --k) a.insert(random_id());
        sets[i] = HybridSet::boxed(a);
        models[i].insert(a.slots().begin(), a.slots().end());
      }
    }
  }
}

}  // namespace
}  // namespace vostrel
