// M2MU32: exact pair semantics, and random register/remove runs against a set of pairs.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>
#include <vector>

#include "index/core/structures/m2m/m2m_u32.hpp"

namespace vostrel {
namespace {

std::vector<uint32_t> ids(const Bitmap& b) {
  std::vector<uint32_t> out(b.cardinality());
  b.toUint32Array(out.data());
  return out;
}

Bitmap bitmap_of(const std::set<uint32_t>& s) {
  Bitmap b;
  for (uint32_t v : s) b.add(v);
  return b;
}

TEST(M2MU32, AnswersAreExact) {
  M2MU32 links;
  EXPECT_TRUE(links.is_empty());
  EXPECT_TRUE(links.get_parent_from_ids(Bitmap::bitmapOf(1, 9)).isEmpty());
  links.register_path(5, 9);
  EXPECT_EQ(ids(links.lefts_of(9)), (std::vector<uint32_t>{5}));

  links.register_path(1, 0x10);
  links.register_path(1, 0x01);
  EXPECT_TRUE(links.lefts_of(0x11).isEmpty());  // never recorded, though it shares hex digits with recorded rights
  EXPECT_TRUE(links.get_parent_from_ids(Bitmap::bitmapOf(1, 0x11)).isEmpty());
  EXPECT_FALSE(links.has_right(0x11));
  links.register_path(2, 0x01);
  EXPECT_TRUE(links.get_parent_from_ids(Bitmap::bitmapOf(1, 0x11)).isEmpty());
  EXPECT_TRUE(links.get_parent_from_ids(Bitmap()).isEmpty());

  const size_t pairs = links.pair_count();
  links.register_path(2, 0x01);  // twice: no change
  EXPECT_EQ(links.pair_count(), pairs);
  EXPECT_EQ(links.left_count(0x01), 2u);
  EXPECT_EQ(ids(links.get_parent_from_ids(Bitmap::bitmapOf(2, 0x01, 9))), (std::vector<uint32_t>{1, 2, 5}));
}

TEST(M2MU32, ExtremeIdsOnBothSides) {
  M2MU32 links;
  const uint32_t MAX = 0xFFFFFFFFu;
  // A page range full of rights whose single left is the all-ones id, plus
  // rights far beyond any dense range.
  for (uint32_t r = 0; r < 200; ++r) links.register_path(r % 2 == 0 ? MAX : 0, r);
  links.register_path(0, MAX);
  links.register_path(MAX, MAX);
  links.register_path(MAX, 4000000000u);
  EXPECT_EQ(links.left_count(MAX), 2u);
  EXPECT_EQ(ids(links.lefts_of(4)), (std::vector<uint32_t>{MAX}));
  EXPECT_EQ(ids(links.lefts_of(5)), (std::vector<uint32_t>{0}));
  EXPECT_EQ(ids(links.get_parent_from_ids(Bitmap::bitmapOf(1, 4000000000u))), (std::vector<uint32_t>{MAX}));
  EXPECT_EQ(ids(links.get_children_from_ids(Bitmap::bitmapOf(1, 0))).size(), 101u);
  EXPECT_TRUE(links.remove_pair(MAX, MAX));
  EXPECT_EQ(ids(links.lefts_of(MAX)), (std::vector<uint32_t>{0}));
  EXPECT_EQ(links.pair_count(), 202u);
}

TEST(M2MU32, PagesMadeFromLooseRightsServeLargeLookups) {
  // Exactly enough rights in one range for a page to be made from loose
  // entries, with lefts above any other: a large lookup must still see them.
  M2MU32 links;
  Bitmap rights, want;
  for (uint32_t r = 0; r < 32; ++r) {
    links.register_path(5000 + r, r);
    rights.add(r);
    want.add(5000 + r);
  }
  for (uint32_t r = 2048; r < 2600; ++r) {
    links.register_path(r - 2048, r);
    rights.add(r);
    want.add(r - 2048);
  }
  EXPECT_EQ(links.get_parent_from_ids(rights), want);
  EXPECT_EQ(links.get_children_from_ids(want), rights);
}

// The plain model: a set of (right, left) pairs.
struct Model {
  std::set<std::pair<uint32_t, uint32_t>> pairs;

  std::set<uint32_t> lefts_of(uint32_t r) const {
    std::set<uint32_t> out;
    for (auto it = pairs.lower_bound({r, 0}); it != pairs.end() && it->first == r; ++it) out.insert(it->second);
    return out;
  }
};

void expect_matches(const M2MU32& links, const Model& model, std::mt19937& rng,
                    const std::vector<uint32_t>& universe) {
  ASSERT_EQ(links.pair_count(), model.pairs.size());
  std::set<uint32_t> all_rights;
  for (const auto& p : model.pairs) all_rights.insert(p.first);
  ASSERT_EQ(ids(links.rights()), std::vector<uint32_t>(all_rights.begin(), all_rights.end()));

  for (int q = 0; q < 20; ++q) {
    std::set<uint32_t> rights, lefts, want_parents, want_children;
    // Small lookups, and large ones over a narrow id range (scratch bit arrays).
    const size_t n = rng() % 2 == 0 ? rng() % 60 : rng() % 3000;
    for (size_t i = 0; i < n; ++i) rights.insert(universe[rng() % universe.size()]);
    for (size_t i = 0; i < n; ++i) lefts.insert(universe[rng() % universe.size()]);
    for (const auto& [r, l] : model.pairs) {
      if (rights.contains(r)) want_parents.insert(l);
      if (lefts.contains(l)) want_children.insert(r);
    }
    ASSERT_EQ(ids(links.get_parent_from_ids(bitmap_of(rights))),
              std::vector<uint32_t>(want_parents.begin(), want_parents.end()));
    ASSERT_EQ(ids(links.get_children_from_ids(bitmap_of(lefts))),
              std::vector<uint32_t>(want_children.begin(), want_children.end()));
    const uint32_t r = universe[rng() % universe.size()];
    const std::set<uint32_t> want = model.lefts_of(r);
    ASSERT_EQ(ids(links.lefts_of(r)), std::vector<uint32_t>(want.begin(), want.end()));
    ASSERT_EQ(links.left_count(r), want.size());
  }
}

TEST(M2MU32, RandomRunsMatchPairModel) {
  std::mt19937 rng(2024);
  // Ids from a dense block (pages get made), a scattered spread (stays loose),
  // ids past the dense range, and the extremes.
  std::vector<uint32_t> wide = {0, 1, 0xFFFFFFFFu, 0xFFFFFFFEu, (1u << 26) - 1, 1u << 26};
  std::vector<uint32_t> narrow = {0, 1};
  for (uint32_t i = 0; i < 3000; ++i) {
    wide.push_back(10000 + i);
    narrow.push_back(10000 + i);
  }
  for (int i = 0; i < 300; ++i) wide.push_back(rng());
  for (int i = 0; i < 300; ++i) wide.push_back(rng() % (1u << 26));

  for (int run = 0; run < 4; ++run) {
    const std::vector<uint32_t>& universe = run % 2 == 0 ? wide : narrow;
    M2MU32 links;
    Model model;
    std::vector<std::pair<uint32_t, uint32_t>> recorded;
    for (int step = 0; step < 30000; ++step) {
      const uint32_t r = universe[rng() % universe.size()];
      // Mostly one left per right (a parent near its child), sometimes shared children.
      const uint32_t l = rng() % 8 == 0 ? universe[rng() % 16] : r + 1;
      if (rng() % 3 != 0 || recorded.empty()) {
        links.register_path(l, r);
        model.pairs.insert({r, l});
        recorded.emplace_back(r, l);
      } else {
        const auto [pr, pl] = recorded[rng() % recorded.size()];
        const uint32_t ql = rng() % 4 == 0 ? l : pl;  // sometimes a pair never recorded
        ASSERT_EQ(links.remove_pair(ql, pr), model.pairs.erase({pr, ql}) == 1);
      }
      if (step % 3000 == 0) expect_matches(links, model, rng, universe);
    }
    expect_matches(links, model, rng, universe);
    for (const auto& [r, l] : recorded) links.remove_pair(l, r);
    EXPECT_TRUE(links.is_empty());
    EXPECT_TRUE(links.rights().isEmpty());
  }
}

TEST(M2MU32, LargeNestedIndexMapsBack) {
  // One parent per child, ids interleaved as objects and their attribute
  // values usually are: child 2k, parent 2k+1.
  M2MU32 links;
  constexpr uint32_t CHILDREN = 300000;
  for (uint32_t k = 0; k < CHILDREN; ++k) links.register_path(2 * k + 1, 2 * k);
  Bitmap rights;
  for (uint32_t k = 0; k < CHILDREN; k += 3) rights.add(2 * k);
  Bitmap want;
  for (uint32_t k = 0; k < CHILDREN; k += 3) want.add(2 * k + 1);
  EXPECT_EQ(links.get_parent_from_ids(rights), want);
  EXPECT_EQ(links.get_children_from_ids(want), rights);
}

}  // namespace
}  // namespace vostrel
