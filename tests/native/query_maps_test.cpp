// BasicQueryMaps against a std::map model: random places, conditional takes and sweeps over scattered ids.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "index/core/query/query_maps.hpp"

namespace vostrel {
namespace {

struct FakeMap {
  int tag;
};
using Maps = BasicQueryMaps<FakeMap>;
using Model = std::map<uint32_t, std::shared_ptr<FakeMap>>;

void expect_equal(const Maps& maps, const Model& model) {
  ASSERT_EQ(maps.size(), model.size());
  size_t at = 0;
  for (const auto& [attribute, map] : model) {
    EXPECT_EQ(maps.attributes()[at], attribute) << "ids stay ascending";
    EXPECT_EQ(maps.maps()[at].get(), map.get());
    EXPECT_EQ(maps.position(attribute), at);
    EXPECT_EQ(maps.at(attribute).get(), map.get());
    ++at;
  }
}

TEST(QueryMaps, FollowsAModelOverScatteredIds) {
  std::mt19937 rng(17);
  Maps maps;
  Model model;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 64; ++i) ids.push_back(rng() % 3 == 0 ? rng() : rng() % 200);  // a few huge ids among small
  for (int step = 0; step < 5000; ++step) {
    const uint32_t attribute = ids[rng() % ids.size()];
    switch (rng() % 4) {
      case 0:
      case 1: {
        auto map = std::make_shared<FakeMap>(FakeMap{step});
        maps.place(attribute, map);
        model[attribute] = map;
        break;
      }
      case 2: {
        // Taken only when it is still the map the caller saw.
        const FakeMap* seen = rng() % 2 ? maps.at(attribute).get() : nullptr;
        std::shared_ptr<FakeMap> taken = maps.take_if(attribute, seen);
        auto found = model.find(attribute);
        if (seen != nullptr) {
          ASSERT_NE(found, model.end());
          EXPECT_EQ(taken.get(), seen);
          model.erase(found);
        } else {
          EXPECT_EQ(taken, nullptr);
        }
        break;
      }
      default: {
        const int below = step - static_cast<int>(rng() % 400);
        std::vector<std::shared_ptr<FakeMap>> out;
        maps.take_where([&](const FakeMap& map) { return map.tag < below; }, out);
        size_t expected_out = 0;
        for (auto it = model.begin(); it != model.end();) {
          if (it->second->tag < below) {
            it = model.erase(it);
            ++expected_out;
          } else {
            ++it;
          }
        }
        EXPECT_EQ(out.size(), expected_out);
        for (const auto& map : out) EXPECT_LT(map->tag, below);
      }
    }
    ASSERT_NO_FATAL_FAILURE(expect_equal(maps, model)) << "step " << step;
  }
  EXPECT_EQ(maps.at(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(maps.position(0xFFFFFFFFu), Maps::NOT_FOUND);
}

}  // namespace
}  // namespace vostrel
