// CharacterMap against a std::map<key, std::set<id>> model: random adds, removes, bulk adds, filters, merges, copies.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "index/core/structures/positional_bitmap/character_map.hpp"

namespace vostrel {
namespace {

using Model = std::map<unsigned, std::set<uint32_t>>;

void expect_equal(const CharacterMap& map, const Model& model) {
  ASSERT_TRUE(map.validate());
  ASSERT_EQ(map.size(), model.size());
  auto expected = model.begin();
  map.for_each([&](const KeyIds& ids) {
    ASSERT_EQ(ids.key, expected->first);
    std::vector<uint32_t> got;
    ids.for_each([&](uint32_t id) { got.push_back(id); });
    EXPECT_EQ(got, std::vector<uint32_t>(expected->second.begin(), expected->second.end())) << "key " << ids.key;
    EXPECT_EQ(ids.cardinality(), expected->second.size());
    ++expected;
  });
  for (unsigned key : {0u, 7u, 255u, CharacterMap::BOUNDARY}) {
    auto found = model.find(key);
    EXPECT_EQ(map.find(key) != nullptr, found != model.end());
  }
}

void model_remove(Model& model, unsigned key, uint32_t id) {
  auto found = model.find(key);
  if (found == model.end()) return;
  found->second.erase(id);
  if (found->second.empty()) model.erase(found);
}

TEST(CharacterMap, SingleKeyStaysInPlaceAndGrowsToBitmap) {
  CharacterMap map;
  map.add('a', 5);
  map.add('a', 1);
  map.add('a', 5);
  expect_equal(map, {{'a', {1, 5}}});
  EXPECT_EQ(map.find('a')->bitmap(), nullptr) << "two ids stay in place";
  map.add('a', 9);
  EXPECT_EQ(map.find('a')->bitmap(), nullptr) << "three ids stay in place";
  map.add('a', 3);
  ASSERT_NE(map.find('a')->bitmap(), nullptr) << "the fourth id moves them into a bitmap";
  expect_equal(map, {{'a', {1, 3, 5, 9}}});
  for (uint32_t id : {1u, 3u, 5u, 9u}) EXPECT_TRUE(map.remove('a', id));
  EXPECT_FALSE(map.remove('a', 1));
  EXPECT_TRUE(map.empty()) << "an emptied key is dropped";
}

TEST(CharacterMap, RandomOperationsMatchModel) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 40; ++round) {
    CharacterMap map;
    Model model;
    // Few keys and ids so that keys collide, sets cross the in-place limit both ways and keys empty out.
    const unsigned keys = 1 + rng() % 12;
    const uint32_t ids = 2 + rng() % 40;
    auto key_of = [&] {
      unsigned pick = rng() % (keys + 1);
      return pick == keys ? CharacterMap::BOUNDARY : pick * 19 % 256;
    };
    for (int step = 0; step < 600; ++step) {
      unsigned key = key_of();
      uint32_t id = rng() % ids;
      switch (rng() % 10) {
        case 0: case 1: case 2: case 3:
          map.add(key, id);
          model[key].insert(id);
          break;
        case 4: case 5: case 6: {
          bool present = model.count(key) != 0 && model[key].count(id) != 0;
          EXPECT_EQ(map.remove(key, id), present);
          model_remove(model, key, id);
          break;
        }
        case 7: {
          std::vector<uint32_t> batch(rng() % 6);
          for (uint32_t& value : batch) value = rng() % ids;
          map.add_many(key, batch.data(), batch.size());
          if (!batch.empty()) model[key].insert(batch.begin(), batch.end());
          break;
        }
        case 8: {
          if (rng() % 8 != 0) break;
          Bitmap keep;
          for (uint32_t value = 0; value < ids; ++value) {
            if (rng() % 3 != 0) keep.add(value);
          }
          map.keep_only(keep);
          for (auto it = model.begin(); it != model.end();) {
            std::erase_if(it->second, [&](uint32_t value) { return !keep.contains(value); });
            it = it->second.empty() ? model.erase(it) : std::next(it);
          }
          break;
        }
        default: {
          EXPECT_EQ(map.contains(key, id), model.count(key) != 0 && model[key].count(id) != 0);
          break;
        }
      }
      ASSERT_NO_FATAL_FAILURE(expect_equal(map, model)) << "round " << round << " step " << step;
    }
    // Copies are deep, moves leave an empty map behind, merges are unions.
    CharacterMap copy = map;
    map.add(CharacterMap::BOUNDARY, 1000);
    expect_equal(copy, model);
    CharacterMap moved = std::move(copy);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    expect_equal(moved, model);
    Model other_model;
    CharacterMap other;
    for (int step = 0; step < 30; ++step) {
      unsigned key = key_of();
      uint32_t id = rng() % (2 * ids);
      other.add(key, id);
      other_model[key].insert(id);
    }
    moved.union_with(other);
    for (const auto& [key, set] : other_model) model[key].insert(set.begin(), set.end());
    expect_equal(moved, model);
  }
}

}  // namespace
}  // namespace vostrel
