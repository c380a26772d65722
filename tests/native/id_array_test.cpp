// IdArray against a std::vector doing the same edits, on random data: growth through many sizes, inserts and erases
// anywhere, resizes, shrinks and moves.
#include "index/core/structures/value_ids/id_array.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace vostrel {
namespace {

void expect_same(const IdArray& array, const std::vector<uint32_t>& model) {
  ASSERT_EQ(array.size(), model.size());
  ASSERT_GE(array.capacity(), array.size());
  ASSERT_TRUE(std::equal(array.begin(), array.end(), model.begin()));
}

TEST(IdArray, MatchesVectorUnderRandomEdits) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    IdArray array;
    std::vector<uint32_t> model;
    for (int step = 0; step < 3000; ++step) {
      const uint32_t id = rng() % 5000;
      switch (rng() % 8) {
        case 0:
        case 1:
        case 2: {  // a sorted insert, as a value's set takes a new id
          uint32_t* at = std::lower_bound(array.begin(), array.end(), id);
          array.insert(at, id);
          model.insert(std::lower_bound(model.begin(), model.end(), id), id);
          break;
        }
        case 3:
          array.push_back(id);
          model.push_back(id);
          break;
        case 4:
          if (!model.empty()) {
            const size_t at = rng() % model.size();
            array.erase(array.begin() + at);
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
          }
          break;
        case 5: {  // a range erase (duplicates dropped after a merge)
          const size_t first = model.empty() ? 0 : rng() % model.size();
          const size_t last = first + (model.size() == first ? 0 : rng() % (model.size() - first + 1));
          array.erase(array.begin() + first, array.begin() + last);
          model.erase(model.begin() + static_cast<std::ptrdiff_t>(first), model.begin() + static_cast<std::ptrdiff_t>(last));
          break;
        }
        case 6: {  // resize, then the caller writes every id
          const size_t count = rng() % 40;
          array.resize(count);
          model.resize(count);
          for (size_t at = 0; at < count; ++at) array[at] = model[at] = static_cast<uint32_t>(rng());
          break;
        }
        default: {
          array.shrink_to_fit();
          IdArray moved(std::move(array));
          EXPECT_TRUE(array.empty());  // NOLINT(bugprone-use-after-move): a moved-from array is empty
          array = std::move(moved);
          break;
        }
      }
      expect_same(array, model);
    }
  }
}

// Capacities fill the allocator's blocks and grow by about a quarter: a set of n ids never keeps room for much more.
TEST(IdArray, GrowsByAQuarter) {
  IdArray array;
  for (uint32_t id = 0; id < 1024; ++id) {
    array.push_back(id);
    EXPECT_LE(array.capacity(), std::max<size_t>(6, array.size() + array.size() / 4 + 4)) << array.size();
    EXPECT_EQ((array.capacity() * sizeof(uint32_t) + 8) % 16, 0u) << array.capacity();
  }
}

}  // namespace
}  // namespace vostrel
