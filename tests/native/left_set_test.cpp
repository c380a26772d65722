// LeftSet and M2MU32's shared rights: random runs against a plain set across the array -> bitmap switch and back.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "index/core/structures/m2m/left_set.hpp"
#include "index/core/structures/m2m/m2m_u32.hpp"

namespace vostrel {
namespace {

std::vector<uint32_t> held(const LeftSet& set) {
  std::vector<uint32_t> out;
  set.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

std::vector<uint32_t> ids(const Bitmap& b) {
  std::vector<uint32_t> out(b.cardinality());
  b.toUint32Array(out.data());
  return out;
}

TEST(LeftSet, RandomRunsSwitchBothWays) {
  std::mt19937 rng(7);
  // Ids within one chunk (a bitmap soon pays), and ids spread over many chunks up to the top id.
  const uint32_t spans[] = {60000, 0xFFFFFFFFu};
  for (const uint32_t span : spans) {
    LeftSet set = LeftSet::of_two(span, 0);
    std::set<uint32_t> model = {span, 0};
    bool was_bitmap = false;
    bool back_to_array = false;
    // Grows to thousands of ids, then shrinks to a handful: both switches happen on the way.
    for (int step = 0; step < 40000; ++step) {
      const bool growing = step < 20000 ? rng() % 4 != 0 : rng() % 8 == 0;
      const uint32_t id = rng() % span;
      if (growing) {
        ASSERT_EQ(set.add(id), model.insert(id).second);
      } else if (model.size() > 2) {
        // Mostly an id held; sometimes one that is not.
        auto at = model.lower_bound(id);
        const uint32_t gone = rng() % 8 == 0 ? id : at == model.end() ? *model.begin() : *at;
        ASSERT_EQ(set.remove(gone), model.erase(gone) == 1);
      }
      was_bitmap |= set.bitmap() != nullptr;
      back_to_array |= was_bitmap && set.bitmap() == nullptr;
      if (step % 500 == 0 || model.size() < 64) {
        ASSERT_EQ(held(set), std::vector<uint32_t>(model.begin(), model.end()));
        ASSERT_EQ(set.cardinality(), model.size());
        ASSERT_EQ(set.first(), *model.begin());
        ASSERT_TRUE(set.contains(*model.rbegin()));
        Bitmap out;
        set.or_into(out);
        ASSERT_EQ(ids(out), std::vector<uint32_t>(model.begin(), model.end()));
      }
    }
    EXPECT_TRUE(was_bitmap);
    EXPECT_TRUE(back_to_array);
  }
}

TEST(M2MU32, SharedRightsAcrossTheSwitchMatchModel) {
  // A few rights held by many lefts each (planes held by their flights), lefts dense (the scratch bit array) or
  // reaching the top id (sorted instead); each right's set crosses to a bitmap and back as pairs come and go.
  std::mt19937 rng(11);
  for (const uint32_t span : {400000u, 0xFFFFFFFFu}) {
    M2MU32 links;
    std::map<uint32_t, std::set<uint32_t>> model;  // right -> lefts
    for (int step = 0; step < 60000; ++step) {
      const uint32_t right = rng() % 40;
      std::set<uint32_t>& lefts = model[right];
      const bool growing = step < 30000 ? rng() % 5 != 0 : rng() % 5 == 0;
      if (growing || lefts.empty()) {
        const uint32_t left = rng() % span;
        links.register_path(left, right);
        lefts.insert(left);
      } else {
        auto at = lefts.lower_bound(rng() % span);
        const uint32_t left = rng() % 8 == 0 ? rng() % span : at == lefts.end() ? *lefts.begin() : *at;
        ASSERT_EQ(links.remove_pair(left, right), lefts.erase(left) == 1);
      }
      if (step % 2000 == 0) {
        Bitmap rights;
        std::set<uint32_t> want;
        for (const auto& [r, ls] : model) {
          if (rng() % 2 == 0) continue;
          rights.add(r);
          want.insert(ls.begin(), ls.end());
          ASSERT_EQ(links.left_count(r), ls.size());
        }
        ASSERT_EQ(ids(links.get_parent_from_ids(rights)), std::vector<uint32_t>(want.begin(), want.end()));
        Bitmap some;
        for (uint32_t l : want) {
          if (rng() % 64 == 0) some.add(l);
        }
        std::set<uint32_t> children;
        for (const auto& [r, ls] : model) {
          for (uint32_t l : ls) {
            if (some.contains(l)) children.insert(r);
          }
        }
        ASSERT_EQ(ids(links.get_children_from_ids(some)), std::vector<uint32_t>(children.begin(), children.end()));
      }
    }
    size_t pairs = 0;
    for (const auto& [r, ls] : model) pairs += ls.size();
    EXPECT_EQ(links.pair_count(), pairs);
    links.keep_lefts(Bitmap());
    EXPECT_TRUE(links.is_empty());
  }
}

}  // namespace
}  // namespace vostrel
