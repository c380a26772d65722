// CompactIdSet: random runs against std::set through the lone and boxed forms and back.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "index/core/structures/hybrid_set/compact_id_set.hpp"

#include "id_shadow.hpp"

namespace vostrel {
namespace {

using testing::ids;

void expect_same(const CompactIdSet& set, const std::set<uint32_t>& model) {
  ASSERT_EQ(ids(set), std::vector<uint32_t>(model.begin(), model.end()));
  ASSERT_EQ(set.cardinality(), model.size());
  ASSERT_EQ(set.is_empty(), model.empty());
  Bitmap out;
  out.add(7'000'000);  // or_into adds, never replaces
  set.or_into(out);
  std::set<uint32_t> want = model;
  want.insert(7'000'000);
  ASSERT_EQ(ids(out), std::vector<uint32_t>(want.begin(), want.end()));
}

TEST(CompactIdSet, LoneIdsKeepEveryBit) {
  for (uint32_t id : {0u, 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
    CompactIdSet set;
    set.add(id);
    set.add(id);
    EXPECT_TRUE(set.contains(id));
    EXPECT_FALSE(set.contains(id ^ 1));
    expect_same(set, {id});
    set.remove(id ^ 1);
    expect_same(set, {id});
    set.remove(id);
    expect_same(set, {});
  }
}

TEST(CompactIdSet, BoxedSetShrinksBackToOneId) {
  CompactIdSet set;
  for (uint32_t id : {5u, 9u, 2u, 40u, 41u, 1000u}) set.add(id);  // past the inline array of the box, too
  for (uint32_t id : {9u, 2u, 40u, 41u, 1000u}) set.remove(id);
  expect_same(set, {5});
  CompactIdSet copy = set;  // a lone copy shares nothing
  copy.add(6);
  expect_same(set, {5});
  expect_same(copy, {5, 6});
  Bitmap keep;
  keep.add(6);
  copy.keep_only_from_bitmap(keep);
  expect_same(copy, {6});
  copy.keep_only_from_bitmap(Bitmap());
  expect_same(copy, {});
}

TEST(CompactIdSet, RandomOperationsMatchAStdSet) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 200; ++round) {
    // Small id ranges revisit ids often, so sets pass between the forms many times.
    const uint32_t range = round % 2 == 0 ? 8 : 5000;
    std::uniform_int_distribution<uint32_t> id_of(0, range - 1);
    CompactIdSet a, b;
    std::set<uint32_t> model_a, model_b;
    for (int step = 0; step < 60; ++step) {
      const uint32_t id = id_of(rng);
      switch (rng() % 7) {
        case 0:
        case 1:
          a.add(id);
          model_a.insert(id);
          break;
        case 2:
          a.remove(id);
          model_a.erase(id);
          break;
        case 3:
          b.add(id);
          model_b.insert(id);
          break;
        case 4: {
          CompactIdSet both = CompactIdSet::union_of(a, b);
          std::set<uint32_t> model_both = model_a;
          model_both.insert(model_b.begin(), model_b.end());
          ASSERT_NO_FATAL_FAILURE(expect_same(both, model_both));
          ASSERT_NO_FATAL_FAILURE(expect_same(a, model_a));  // the operands stay as they were
          ASSERT_NO_FATAL_FAILURE(expect_same(b, model_b));
          a = std::move(both);
          model_a = model_both;
          break;
        }
        case 5: {
          Bitmap keep;
          std::set<uint32_t> kept;
          for (uint32_t at = 0; at < range; at += 1 + rng() % 3) keep.add(at);
          for (uint32_t id_kept : model_a) {
            if (keep.contains(id_kept)) kept.insert(id_kept);
          }
          a.keep_only_from_bitmap(keep);
          model_a = kept;
          break;
        }
        default:
          b = a;
          model_b = model_a;
          break;
      }
      ASSERT_NO_FATAL_FAILURE(expect_same(a, model_a));
      ASSERT_EQ(a.contains(id), model_a.count(id) == 1);
    }
  }
}

}  // namespace
}  // namespace vostrel
